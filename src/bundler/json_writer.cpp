#include "bundler/json_writer.h"

#include <cstdio>

#include "platform/file_manager.h"

namespace bundler {

namespace {

void appendEscape(std::string& out, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", value);
  out += buffer;
}

}  // namespace

std::string jsonQuoted(std::string_view text) {
  const bool utf8 = platform::isValidUtf8(std::string(text));
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f || (!utf8 && byte >= 0x80)) {
          appendEscape(out, byte);
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasMember_.empty()) {
    if (hasMember_.back()) out_ += ',';
    hasMember_.back() = true;
  }
}

JsonWriter& JsonWriter::beginObject() {
  separate();
  out_ += '{';
  hasMember_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  out_ += '}';
  hasMember_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  separate();
  out_ += '[';
  hasMember_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  out_ += ']';
  hasMember_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  out_ += jsonQuoted(name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  separate();
  out_ += jsonQuoted(text);
  return *this;
}

JsonWriter& JsonWriter::value(const std::optional<std::string>& text) {
  return text ? value(std::string_view(*text)) : null();
}

JsonWriter& JsonWriter::value(bool flag) {
  separate();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::strings(const std::vector<std::string>& items) {
  beginArray();
  for (const auto& item : items) value(std::string_view(item));
  return endArray();
}

}  // namespace bundler
