// String tables: any bytes either read as a table or are refused; a table read from the text
// form holds valid UTF-8 and reads back the same when written out again.
#include "fuzz_support.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace {

bool isPropertyListForm(std::string_view bytes) {
  if (bytes.starts_with("bplist")) return true;
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  size_t first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '<';
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(fuzz::asText(data, size));
  auto table = platform::parseStringsTable(bytes);
  if (!table || isPropertyListForm(bytes)) return 0;

  std::string text;
  for (const auto& [key, value] : *table) {
    FUZZ_CHECK(value.isString());
    FUZZ_CHECK(platform::isValidUtf8(key));
    FUZZ_CHECK(platform::isValidUtf8(*value.asString()));
    text += quoted(key) + " = " + quoted(*value.asString()) + ";\n";
  }
  auto again = platform::parseStringsTable(text);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *table);
  return 0;
}
