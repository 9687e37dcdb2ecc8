// A strict reader of the update feed's JSON: one object whose members the checker reads by
// name. Everything JSON allows is read (nested values to a bounded depth, which are passed
// over), but nothing else: no comments, no trailing commas, no duplicate names, no text after
// the object, valid UTF-8 only. Integers must fit 64 bits; a number with a fraction or an
// exponent is kept as "another kind of value".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qmk::update {

struct JsonOther {};  // null, a boolean, a non-integer number, an array or an object
using JsonMember = std::variant<JsonOther, int64_t, std::string>;

struct JsonObject {
  std::map<std::string, JsonMember> members;
  const std::string* string(const std::string& name) const;
  std::optional<int64_t> integer(const std::string& name) const;
};

struct JsonReading {
  std::optional<JsonObject> object;
  std::string failure;  // where and why the text is not a JSON object; empty on success
};

JsonReading readJsonObject(std::string_view text);

}  // namespace qmk::update
