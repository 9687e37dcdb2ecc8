#include "platform/plist.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/file_manager.h"
#include "platform/number_text.h"
#include "platform/plist_readers.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "platform/utf8.h"

namespace plist {

namespace {

const Value& nullValue() {
  static const Value null;
  return null;
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

std::string dateText(double secondsSinceReferenceDate) {
  const double seconds = secondsSinceReferenceDate + detail::kReferenceDateOffset;
  // Far beyond any calendar year (or not a number) the seconds themselves are shown.
  const auto asNumber = [&] { return platform::shortestNumberText(secondsSinceReferenceDate); };
  if (!(std::fabs(seconds) < 1e15)) return asNumber();
  // Rounded down by hand rather than with floor(), which alone would make appstub load libm.
  auto t = static_cast<time_t>(seconds);
  if (static_cast<double>(t) > seconds) --t;
  tm utc{};
  if (::gmtime_r(&t, &utc) == nullptr) return asNumber();
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
      return platform::shortestNumberText(*value.asReal());
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

// ---- Reading ---------------------------------------------------------------------------------

namespace {

// The reason a file cannot be read, in a few words.
std::string reasonOf(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EISDIR:
      return "is a directory";
    case ENOTDIR:
      return "a component of the path is not a directory";
    default: {
      std::string text = std::strerror(error);
      if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return text;
    }
  }
}

struct FileBytes {
  std::optional<std::string> bytes;
  std::string reason;
};

FileBytes readBytes(const std::string& path) {
  // Non-blocking, so that a named pipe given for a file is refused below instead of waiting for
  // a writer forever; on a regular file the flag changes nothing.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return {std::nullopt, reasonOf(errno)};
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return {std::nullopt, reasonOf(errno)};
  if (S_ISDIR(st.st_mode)) return {std::nullopt, reasonOf(EISDIR)};
  if (!S_ISREG(st.st_mode)) return {std::nullopt, "not a regular file"};
  auto content = platform::readToEnd(fd.get(), static_cast<size_t>(st.st_size));
  if (!content) return {std::nullopt, reasonOf(errno)};
  return {std::move(content), {}};
}

}  // namespace

Reading parseWithReason(const std::string& bytes) {
  if (bytes.empty()) return {std::nullopt, "the file is empty"};
  if (bytes.starts_with(detail::kBinaryMagic)) return detail::readBinary(bytes);
  return detail::readXml(bytes);
}

std::optional<Value> parse(const std::string& bytes) { return parseWithReason(bytes).value; }

Reading readFileWithReason(const std::string& path) {
  FileBytes file = readBytes(path);
  if (!file.bytes) return {std::nullopt, std::move(file.reason)};
  return parseWithReason(*file.bytes);
}

std::optional<Value> readFile(const std::string& path) { return readFileWithReason(path).value; }

}  // namespace plist
