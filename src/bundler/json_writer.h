// A small JSON writer for the tool's machine-readable output: objects, arrays, strings,
// booleans and null, written in order, with the commas kept track of.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bundler {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The name of the next member of the current object.
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
  JsonWriter& value(const std::optional<std::string>& text);  // null when absent
  JsonWriter& value(bool flag);
  JsonWriter& null();
  JsonWriter& strings(const std::vector<std::string>& items);
  const std::string& text() const { return out_; }

 private:
  void separate();
  std::string out_;
  // One entry per open container: whether it has a member yet.
  std::vector<bool> hasMember_;
  bool afterKey_ = false;
};

// `text` as a JSON string literal. Bytes that are not UTF-8 are written as the characters of the
// same number, so that the output always parses.
std::string jsonQuoted(std::string_view text);

}  // namespace bundler
