#include "platform/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/file_manager.h"
#include "platform/unicode.h"
#include "platform/utf8.h"

namespace plist {

namespace {

// Seconds between 1970-01-01 and the property lists' reference date, 2001-01-01 (UTC).
constexpr double kReferenceDateOffset = 978307200.0;

constexpr std::string_view kBinaryMagic = "bplist";

const Value& nullValue() {
  static const Value null;
  return null;
}

using Node = std::unique_ptr<void, decltype(&plist_free)>;

Node adopt(plist_t node) { return Node(node, &plist_free); }

// ---- Reading libplist trees ------------------------------------------------------------------

// Real documents nest a handful of levels; a limit far beyond them keeps a hostile one, a few
// hundred kilobytes of opening tags, from exhausting the stack of every walk over the tree.
constexpr int kMaxNesting = 512;

Value fromNode(plist_t node, int depth, bool& tooDeep);

Value fromDictionaryNode(plist_t node, int depth, bool& tooDeep) {
  Dictionary entries;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  std::unique_ptr<void, decltype(&std::free)> iterOwner(iter, &std::free);
  while (!tooDeep) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iter, &key, &item);
    std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
    if (item == nullptr) break;
    entries.emplace(key ? key : "", fromNode(item, depth, tooDeep));
  }
  return Value::dictionary(std::move(entries));
}

Value fromArrayNode(plist_t node, int depth, bool& tooDeep) {
  Array items;
  uint32_t count = plist_array_get_size(node);
  items.reserve(count);
  for (uint32_t i = 0; i < count && !tooDeep; ++i) {
    items.push_back(fromNode(plist_array_get_item(node, i), depth, tooDeep));
  }
  return Value::array(std::move(items));
}

// `depth` counts the containers around `node`; past the limit the walk stops and sets tooDeep.
Value fromNode(plist_t node, int depth, bool& tooDeep) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return Value::boolean(v != 0);
    }
    case PLIST_UINT: {
      // Stored as the 64-bit pattern of the written (possibly negative) number.
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return Value::integer(static_cast<int64_t>(v));
    }
    case PLIST_UID: {
      uint64_t v = 0;
      plist_get_uid_val(node, &v);
      return Value::integer(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return Value::real(v);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value::string(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
      return Value::data(bytes ? std::vector<uint8_t>(begin, begin + length)
                               : std::vector<uint8_t>());
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value::date(sec + usec / 1e6);
    }
    case PLIST_ARRAY:
    case PLIST_DICT:
      if (depth >= kMaxNesting) {
        tooDeep = true;
        return Value();
      }
      return plist_get_node_type(node) == PLIST_ARRAY
                 ? fromArrayNode(node, depth + 1, tooDeep)
                 : fromDictionaryNode(node, depth + 1, tooDeep);
    default:
      return Value();
  }
}

// ---- Checking binary lists before libplist reads them ----------------------------------------

// libplist ends the process (an assertion inside the library) when it is asked for a dictionary
// key whose UTF-16 text holds U+0000. A binary list is walked here first, and refused when one of
// its dictionaries has such a key or when the walk cannot read it.
class BinaryKeyCheck {
 public:
  explicit BinaryKeyCheck(std::string_view bytes) : bytes_(bytes) {}

  bool keysAreSafe() {
    constexpr size_t kTrailer = 32;
    if (bytes_.size() < kBinaryMagic.size() + 2 + kTrailer) return false;
    const size_t trailer = bytes_.size() - kTrailer;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    end_ = trailer;
    if (!number(trailer + 8, 8, count_) || !number(trailer + 24, 8, table_)) return false;
    if (count_ == 0 || count_ > bytes_.size()) return false;
    for (uint64_t i = 0; i < count_; ++i) {
      size_t at = 0;
      if (!objectAt(i, at)) return false;
      if ((byte(at) & 0xF0) == 0xD0 && !dictionaryKeysAreSafe(at)) return false;
    }
    return true;
  }

 private:
  uint8_t byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  // A big-endian number of `width` bytes at `at`.
  bool number(size_t at, size_t width, uint64_t& value) const {
    if (width == 0 || width > 8 || at > bytes_.size() || width > bytes_.size() - at) return false;
    value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | byte(at + i);
    return true;
  }

  bool objectAt(uint64_t index, size_t& at) const {
    uint64_t offset = 0;
    if (index >= count_ || offsetSize_ == 0 || table_ > bytes_.size() ||
        !number(table_ + index * offsetSize_, offsetSize_, offset) || offset >= end_) {
      return false;
    }
    at = offset;
    return true;
  }

  // The element count of the object at `at` and where its contents begin.
  bool countOf(size_t at, uint64_t& count, size_t& contents) const {
    count = byte(at) & 0x0F;
    contents = at + 1;
    if (count != 0x0F) return true;
    if (contents >= end_ || (byte(contents) & 0xF0) != 0x10) return false;
    const size_t width = size_t{1} << (byte(contents) & 0x0F);
    if (!number(contents + 1, width, count)) return false;
    contents += 1 + width;
    return true;
  }

  bool dictionaryKeysAreSafe(size_t at) const {
    uint64_t entries = 0;
    size_t refs = 0;
    if (!countOf(at, entries, refs) || refSize_ == 0 || refs > end_ ||
        entries > (end_ - refs) / refSize_) {
      return false;
    }
    for (uint64_t i = 0; i < entries; ++i) {
      uint64_t key = 0;
      size_t keyAt = 0;
      if (!number(refs + i * refSize_, refSize_, key) || !objectAt(key, keyAt)) return false;
      if ((byte(keyAt) & 0xF0) == 0x60 && !utf16TextIsSafe(keyAt)) return false;
    }
    return true;
  }

  bool utf16TextIsSafe(size_t at) const {
    uint64_t units = 0;
    size_t text = 0;
    if (!countOf(at, units, text) || text > end_ || units > (end_ - text) / 2) return false;
    for (uint64_t i = 0; i < units; ++i) {
      if (byte(text + 2 * i) == 0 && byte(text + 2 * i + 1) == 0) return false;
    }
    return true;
  }

  std::string_view bytes_;
  size_t end_ = 0;  // objects and the offset table lie before the trailer
  uint64_t count_ = 0;
  uint64_t table_ = 0;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
};

// ---- Writing libplist trees ------------------------------------------------------------------

// Null has no form in a property list: it is left out of containers.
plist_t toNode(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Boolean:
      return plist_new_bool(value.boolValue() ? 1 : 0);
    case Value::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*value.asReal());
    case Value::Type::Date: {
      // The writer keeps 32-bit seconds: a date beyond them (or not a number) is written as the
      // nearest one it can hold.
      double date = *value.asDate();
      if (std::isnan(date)) date = 0;
      date = std::clamp(date, static_cast<double>(std::numeric_limits<int32_t>::min()),
                        static_cast<double>(std::numeric_limits<int32_t>::max()));
      double seconds = std::floor(date);
      return plist_new_date(static_cast<int32_t>(seconds),
                            static_cast<int32_t>(std::lround((date - seconds) * 1e6)));
    }
    case Value::Type::Data: {
      const auto& bytes = *value.asData();
      return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Value::Type::String:
      return plist_new_string(value.asString()->c_str());
    case Value::Type::Array: {
      plist_t array = plist_new_array();
      for (const Value& item : *value.asArray()) {
        if (plist_t child = toNode(item)) plist_array_append_item(array, child);
      }
      return array;
    }
    case Value::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.asDictionary()) {
        if (plist_t child = toNode(item)) plist_dict_set_item(dict, key.c_str(), child);
      }
      return dict;
    }
  }
  return nullptr;
}

// ---- Descriptions ----------------------------------------------------------------------------

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '.' || c == '$';
    if (!plain) return true;
  }
  return false;
}

std::string quoted(const std::string& s) {
  if (!needsQuotes(s)) return s;
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\U%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string numberText(double v) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

std::string dateText(double secondsSinceReferenceDate) {
  time_t t = static_cast<time_t>(std::floor(secondsSinceReferenceDate + kReferenceDateOffset));
  tm utc{};
  ::gmtime_r(&t, &utc);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return buffer;
}

std::string dataText(const std::vector<uint8_t>& bytes) {
  auto hex = [&](size_t from, size_t to) {
    std::string out;
    char digits[3];
    for (size_t i = from; i < to; ++i) {
      std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
      out += digits;
    }
    return out;
  };
  std::string shown = bytes.size() <= 24
                          ? hex(0, bytes.size())
                          : hex(0, 16) + " ... " + hex(bytes.size() - 8, bytes.size());
  return "{length = " + std::to_string(bytes.size()) + ", bytes = 0x" + shown + "}";
}

// The nested form: containers one entry per line, four more spaces per level; strings inside
// containers quoted when they hold anything but letters, digits, "_", "." and "$".
std::string describe(const Value& value, size_t indent, bool nested) {
  const std::string pad(indent, ' ');
  const std::string inner(indent + 4, ' ');
  switch (value.type()) {
    case Value::Type::Null:
      return "(null)";
    case Value::Type::Boolean:
      return value.boolValue() ? "1" : "0";
    case Value::Type::Integer:
      return std::to_string(*value.asInteger());
    case Value::Type::Real:
      return numberText(*value.asReal());
    case Value::Type::Date:
      return dateText(*value.asDate());
    case Value::Type::Data:
      return dataText(*value.asData());
    case Value::Type::String:
      return nested ? quoted(*value.asString()) : *value.asString();
    case Value::Type::Array: {
      std::string out = "(\n";
      const Array& items = *value.asArray();
      for (size_t i = 0; i < items.size(); ++i) {
        out += inner + describe(items[i], indent + 4, true);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      return out + pad + ")";
    }
    case Value::Type::Dictionary: {
      std::string out = "{\n";
      for (const auto& [key, item] : *value.asDictionary()) {
        out += inner + quoted(key) + " = " + describe(item, indent + 4, true) + ";\n";
      }
      return out + pad + "}";
    }
  }
  return std::string();
}

// Saturating conversion of a double to the 32-bit range; NaN reads as 0.
int32_t saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

int32_t saturate(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// The position after leading white space (tab and space separators) and an optional sign.
size_t skipWhitespaceAndSign(const std::string& s, bool* negative) {
  size_t pos = 0;
  while (pos < s.size()) {
    auto d = platform::utf8::decode(s, pos);
    if (d.codePoint == platform::utf8::kInvalid || d.codePoint >= 0x10000 ||
        !unicode::isWhitespace(static_cast<char16_t>(d.codePoint))) {
      break;
    }
    pos += d.length;
  }
  if (negative) *negative = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    if (negative) *negative = s[pos] == '-';
    ++pos;
  }
  return pos;
}

}  // namespace

// ---- Value -----------------------------------------------------------------------------------

Value Value::boolean(bool v) {
  Value value;
  value.type_ = Type::Boolean;
  value.boolean_ = v;
  return value;
}

Value Value::integer(int64_t v) {
  Value value;
  value.type_ = Type::Integer;
  value.integer_ = v;
  return value;
}

Value Value::real(double v) {
  Value value;
  value.type_ = Type::Real;
  value.real_ = v;
  return value;
}

Value Value::string(std::string v) {
  Value value;
  value.type_ = Type::String;
  value.string_ = std::move(v);
  return value;
}

Value Value::data(std::vector<uint8_t> v) {
  Value value;
  value.type_ = Type::Data;
  value.data_ = std::move(v);
  return value;
}

Value Value::date(double secondsSinceReferenceDate) {
  Value value;
  value.type_ = Type::Date;
  value.real_ = secondsSinceReferenceDate;
  return value;
}

Value Value::array(Array v) {
  Value value;
  value.type_ = Type::Array;
  value.array_ = std::make_shared<Array>(std::move(v));
  return value;
}

Value Value::dictionary(Dictionary v) {
  Value value;
  value.type_ = Type::Dictionary;
  value.dictionary_ = std::make_shared<Dictionary>(std::move(v));
  return value;
}

const std::string* Value::asString() const { return type_ == Type::String ? &string_ : nullptr; }
const Array* Value::asArray() const { return type_ == Type::Array ? array_.get() : nullptr; }
const Dictionary* Value::asDictionary() const {
  return type_ == Type::Dictionary ? dictionary_.get() : nullptr;
}

std::optional<std::string> Value::stringValue() const {
  if (type_ != Type::String) return std::nullopt;
  return string_;
}

std::optional<int64_t> Value::asInteger() const {
  if (type_ != Type::Integer) return std::nullopt;
  return integer_;
}

std::optional<double> Value::asReal() const {
  if (type_ != Type::Real) return std::nullopt;
  return real_;
}

std::optional<double> Value::asDate() const {
  if (type_ != Type::Date) return std::nullopt;
  return real_;
}

const std::vector<uint8_t>* Value::asData() const { return type_ == Type::Data ? &data_ : nullptr; }

bool Value::boolValue() const {
  switch (type_) {
    case Type::Boolean:
      return boolean_;
    case Type::Integer:
      return integer_ != 0;
    case Type::Real:
      return real_ != 0;
    case Type::String: {
      size_t pos = skipWhitespaceAndSign(string_, nullptr);
      while (pos < string_.size() && string_[pos] == '0') ++pos;
      if (pos >= string_.size()) return false;
      char c = string_[pos];
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
      return false;
  }
}

int32_t Value::intValue() const {
  switch (type_) {
    case Type::Boolean:
      return boolean_ ? 1 : 0;
    case Type::Integer:
      return saturate(integer_);
    case Type::Real:
      return saturate(real_);
    case Type::String: {
      bool negative = false;
      size_t pos = skipWhitespaceAndSign(string_, &negative);
      // Accumulated as a negative number so that the 32-bit minimum is reachable exactly.
      int64_t v = 0;
      for (; pos < string_.size() && string_[pos] >= '0' && string_[pos] <= '9'; ++pos) {
        v = v * 10 - (string_[pos] - '0');
        if (v < -static_cast<int64_t>(std::numeric_limits<int32_t>::max()) - 1) {
          return negative ? std::numeric_limits<int32_t>::min()
                          : std::numeric_limits<int32_t>::max();
        }
      }
      return saturate(negative ? v : -v);
    }
    default:
      return 0;
  }
}

const Value& Value::operator[](const std::string& key) const {
  if (type_ != Type::Dictionary) return nullValue();
  auto it = dictionary_->find(key);
  return it == dictionary_->end() ? nullValue() : it->second;
}

const Value& Value::operator[](size_t index) const {
  if (type_ != Type::Array || index >= array_->size()) return nullValue();
  return (*array_)[index];
}

size_t Value::size() const {
  if (type_ == Type::Array) return array_->size();
  if (type_ == Type::Dictionary) return dictionary_->size();
  return 0;
}

bool Value::operator==(const Value& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case Type::Null:
      return true;
    case Type::Boolean:
      return boolean_ == other.boolean_;
    case Type::Integer:
      return integer_ == other.integer_;
    case Type::Real:
    case Type::Date:
      return real_ == other.real_;
    case Type::String:
      return string_ == other.string_;
    case Type::Data:
      return data_ == other.data_;
    case Type::Array:
      return *array_ == *other.array_;
    case Type::Dictionary:
      return *dictionary_ == *other.dictionary_;
  }
  return false;
}

std::string Value::description() const { return describe(*this, 0, false); }

// ---- Reading and writing ---------------------------------------------------------------------

std::optional<Value> parse(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (bytes.starts_with(kBinaryMagic)) {
    if (!BinaryKeyCheck(bytes).keysAreSafe()) return std::nullopt;
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  if (root == nullptr) return std::nullopt;
  Node owner = adopt(root);
  bool tooDeep = false;
  Value value = fromNode(root, 0, tooDeep);
  if (tooDeep) return std::nullopt;
  return value;
}

std::string toXml(const Value& value) {
  plist_t root = toNode(value);
  // A document always has a root: null is written as an empty dictionary.
  if (root == nullptr) root = plist_new_dict();
  Node owner = adopt(root);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  if (xml == nullptr) return std::string();
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::optional<Value> readFile(const std::string& path) {
  auto bytes = platform::FileManager().readFile(path);
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

Reading parseWithReason(const std::string& bytes) {
  auto value = parse(bytes);
  if (value) return {std::move(value), {}};
  return {std::nullopt, bytes.empty() ? "the file is empty" : "not a well-formed property list"};
}

Reading readFileWithReason(const std::string& path) {
  auto bytes = platform::FileManager().readFile(path);
  if (!bytes) return {std::nullopt, "cannot be read"};
  return parseWithReason(*bytes);
}

}  // namespace plist
