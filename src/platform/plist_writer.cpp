// The XML writer: what it writes reads back through the XML reader, and through any other
// reader of the format, as the same value.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "platform/base64.h"
#include "platform/number_text.h"
#include "platform/plist.h"
#include "platform/plist_readers.h"
#include "platform/utf8.h"

namespace plist {

namespace {

constexpr std::string_view kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// Whether XML 1.0 can carry the character at all (as text or as a reference).
bool isXmlCharacter(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Text escaped for element content. A carriage return is written as a reference, because XML
// readers turn a written one into a line feed. What XML cannot carry (control characters, bytes
// that are no UTF-8) is written as U+FFFD: the one change a written list may show.
void appendEscaped(std::string& out, const std::string& text) {
  for (size_t pos = 0; pos < text.size();) {
    const auto decoded = platform::utf8::decode(text, pos);
    const char32_t c = decoded.codePoint;
    pos += decoded.length;
    if (c == platform::utf8::kInvalid || !isXmlCharacter(c)) {
      platform::utf8::append(out, 0xFFFD);
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '\r') {
      out += "&#13;";
    } else {
      platform::utf8::append(out, c);
    }
  }
}

// Dates are written in whole seconds within the 32-bit range (the range every reader of the
// format holds): a date beyond it, or not a number, is written as the nearest one it can hold.
std::string dateText(double date) {
  if (std::isnan(date)) date = 0;
  date = std::clamp(date, static_cast<double>(std::numeric_limits<int32_t>::min()),
                    static_cast<double>(std::numeric_limits<int32_t>::max()));
  const time_t t = static_cast<time_t>(std::trunc(date) + detail::kReferenceDateOffset);
  tm utc{};
  ::gmtime_r(&t, &utc);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buffer;
}

void element(std::string& out, size_t indent, std::string_view tag, const std::string& text) {
  out.append(indent, '\t');
  out += '<';
  out += tag;
  out += '>';
  out += text;
  out += "</";
  out += tag;
  out += ">\n";
}

void write(std::string& out, const Value& value, size_t indent) {
  switch (value.type()) {
    case Value::Type::Null:
      return;  // null has no form: it is left out of containers
    case Value::Type::Boolean:
      out.append(indent, '\t');
      out += value.boolValue() ? "<true/>\n" : "<false/>\n";
      return;
    case Value::Type::Integer:
      return element(out, indent, "integer", std::to_string(*value.asInteger()));
    case Value::Type::Real:
      return element(out, indent, "real", platform::shortestNumberText(*value.asReal()));
    case Value::Type::Date:
      return element(out, indent, "date", dateText(*value.asDate()));
    case Value::Type::Data:
      return element(out, indent, "data", platform::base64Encode(value.asData()->data(), value.asData()->size()));
    case Value::Type::String: {
      std::string text;
      appendEscaped(text, *value.asString());
      return element(out, indent, "string", text);
    }
    case Value::Type::Array: {
      out.append(indent, '\t');
      if (value.size() == 0) {
        out += "<array/>\n";
        return;
      }
      out += "<array>\n";
      for (const Value& item : *value.asArray()) write(out, item, indent + 1);
      out.append(indent, '\t');
      out += "</array>\n";
      return;
    }
    case Value::Type::Dictionary: {
      const Dictionary& entries = *value.asDictionary();
      const bool empty = std::all_of(entries.begin(), entries.end(),
                                     [](const auto& entry) { return entry.second.isNull(); });
      out.append(indent, '\t');
      if (empty) {
        out += "<dict/>\n";
        return;
      }
      out += "<dict>\n";
      for (const auto& [key, item] : entries) {
        if (item.isNull()) continue;
        std::string text;
        appendEscaped(text, key);
        element(out, indent + 1, "key", text);
        write(out, item, indent + 1);
      }
      out.append(indent, '\t');
      out += "</dict>\n";
      return;
    }
  }
}

}  // namespace

std::string toXml(const Value& value) {
  std::string out(kPrologue);
  // A document always has a root: null is written as an empty dictionary.
  write(out, value.isNull() ? Value::dictionary({}) : value, 0);
  out += "</plist>\n";
  return out;
}

}  // namespace plist
