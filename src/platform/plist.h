// Property-list values: the tree read from Info.plist, string tables in plist form and the user
// preferences, with the platform's boolean and integer readings of stored values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plist {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

class Value {
 public:
  enum class Type { Null, Boolean, Integer, Real, String, Data, Date, Array, Dictionary };

  Value() = default;  // null: what an absent key reads as
  static Value boolean(bool v);
  static Value integer(int64_t v);
  static Value real(double v);
  static Value string(std::string v);
  static Value data(std::vector<uint8_t> v);
  static Value date(double secondsSinceReferenceDate);
  static Value array(Array v);
  static Value dictionary(Dictionary v);

  Type type() const { return type_; }
  bool isNull() const { return type_ == Type::Null; }
  bool isString() const { return type_ == Type::String; }
  bool isArray() const { return type_ == Type::Array; }
  bool isDictionary() const { return type_ == Type::Dictionary; }

  // Typed access: null when the value is of another type.
  const std::string* asString() const;
  const Array* asArray() const;
  const Dictionary* asDictionary() const;
  // The string, or absent when the value is not a string.
  std::optional<std::string> stringValue() const;
  // The stored number, date or bytes; absent (null) when the value is of another type.
  std::optional<int64_t> asInteger() const;
  std::optional<double> asReal() const;
  std::optional<double> asDate() const;  // seconds since 2001-01-01 00:00:00 UTC
  const std::vector<uint8_t>* asData() const;

  // The platform's boolean reading: numbers are true when non-zero; a string is true when, after
  // leading white space, an optional sign and any zeros, it starts with Y, y, T, t or 1 to 9.
  // Everything else is false.
  bool boolValue() const;
  // The platform's 32-bit integer reading: numbers truncated and saturated; a string read as
  // leading white space, an optional sign and the leading digits (none gives 0), saturated at
  // the 32-bit limits. Everything else is 0.
  int32_t intValue() const;

  // Dictionary lookup; a null value when this is not a dictionary or has no such key.
  const Value& operator[](const std::string& key) const;
  // Array element; a null value when out of range or not an array.
  const Value& operator[](size_t index) const;
  size_t size() const;  // elements of an array or dictionary, else 0

  // What "%@" prints for the value (strings bare, containers in the platform's nested form).
  std::string description() const;

  bool operator==(const Value& other) const;

 private:
  Type type_ = Type::Null;
  bool boolean_ = false;
  int64_t integer_ = 0;
  double real_ = 0;
  std::string string_;
  std::vector<uint8_t> data_;
  std::shared_ptr<Array> array_;
  std::shared_ptr<Dictionary> dictionary_;
};

// Parses XML or binary property-list bytes; absent when they are not a property list.
std::optional<Value> parse(const std::string& bytes);
// Writes a value as an XML property list (tests and tools build their fixtures with it).
std::string toXml(const Value& value);
// Reads a property-list file; absent when it is missing, unreadable or malformed.
std::optional<Value> readFile(const std::string& path);

// What a reading gave: the value, or the reason there is none, in words a user can act on
// ("no such file", "line 12: mismatched tag", "offset 0x2f: object reference out of range").
struct Reading {
  std::optional<Value> value;
  std::string reason;  // empty when value is present
};
Reading parseWithReason(const std::string& bytes);
Reading readFileWithReason(const std::string& path);

}  // namespace plist
