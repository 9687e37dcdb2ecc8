#include "launcher/feed_json.h"

#include <limits>

#include "platform/file_manager.h"
#include "platform/utf8.h"

namespace qmk::update {
namespace {

// Deeper nesting is no feed of ours, and must not exhaust the stack.
constexpr int kMaxDepth = 16;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  JsonReading run() {
    JsonReading reading;
    JsonObject object;
    skipSpace();
    if (!readObject(0, &object)) {
      reading.failure = failure_;
      return reading;
    }
    skipSpace();
    if (pos_ != text_.size()) {
      reading.failure = at("text after the object");
      return reading;
    }
    reading.object = std::move(object);
    return reading;
  }

 private:
  bool fail(const std::string& what) {
    if (failure_.empty()) failure_ = at(what);
    return false;
  }
  std::string at(const std::string& what) const {
    return what + " at byte " + std::to_string(pos_);
  }

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      pos_++;
    }
  }

  bool consume(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      pos_++;
      return true;
    }
    return false;
  }

  // An object; its top-level members are kept in `into` when given.
  bool readObject(int depth, JsonObject* into) {
    if (depth >= kMaxDepth) return fail("nesting too deep");
    if (!consume('{')) return fail("expected an object");
    skipSpace();
    if (consume('}')) return true;
    for (;;) {
      skipSpace();
      std::string name;
      if (!readString(&name)) return false;
      skipSpace();
      if (!consume(':')) return fail("expected ':'");
      skipSpace();
      JsonMember member;
      if (!readValue(depth, &member)) return false;
      if (into && !into->members.emplace(std::move(name), std::move(member)).second) {
        return fail("a member named twice");
      }
      skipSpace();
      if (consume('}')) return true;
      if (!consume(',')) return fail("expected ',' or '}'");
    }
  }

  bool readArray(int depth) {
    if (depth >= kMaxDepth) return fail("nesting too deep");
    consume('[');
    skipSpace();
    if (consume(']')) return true;
    for (;;) {
      skipSpace();
      JsonMember ignored;
      if (!readValue(depth, &ignored)) return false;
      skipSpace();
      if (consume(']')) return true;
      if (!consume(',')) return fail("expected ',' or ']'");
    }
  }

  bool readValue(int depth, JsonMember* out) {
    if (pos_ >= text_.size()) return fail("the text ends where a value was expected");
    const char c = text_[pos_];
    if (c == '"') {
      std::string s;
      if (!readString(&s)) return false;
      *out = std::move(s);
      return true;
    }
    *out = JsonOther{};
    if (c == '{') return readObject(depth + 1, nullptr);
    if (c == '[') return readArray(depth + 1);
    if (c == '-' || (c >= '0' && c <= '9')) return readNumber(out);
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return true;
      }
    }
    return fail("not a JSON value");
  }

  bool readNumber(JsonMember* out) {
    const size_t start = pos_;
    consume('-');
    if (consume('0')) {
    } else if (pos_ < text_.size() && text_[pos_] >= '1' && text_[pos_] <= '9') {
      while (pos_ < text_.size() && isDigit(text_[pos_])) pos_++;
    } else {
      return fail("malformed number");
    }
    bool integral = true;
    if (consume('.')) {
      integral = false;
      if (!digits()) return fail("malformed number");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      pos_++;
      if (!consume('+')) consume('-');
      if (!digits()) return fail("malformed number");
    }
    if (!integral) return true;
    std::string_view literal = text_.substr(start, pos_ - start);
    const bool negative = literal[0] == '-';
    uint64_t magnitude = 0;
    for (char d : literal.substr(negative ? 1 : 0)) {
      const uint64_t digit = static_cast<uint64_t>(d - '0');
      if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
        return fail("an integer too large");
      }
      magnitude = magnitude * 10 + digit;
    }
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    if (magnitude > limit) return fail("an integer too large");
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  bool digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && isDigit(text_[pos_])) pos_++;
    return pos_ > start;
  }
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  bool readString(std::string* out) {
    if (!consume('"')) return fail("expected a string");
    std::string s;
    for (;;) {
      if (pos_ >= text_.size()) return fail("a string without its end");
      const char c = text_[pos_++];
      if (c == '"') break;
      if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
      if (c != '\\') {
        s += c;
        continue;
      }
      if (pos_ >= text_.size()) return fail("a string without its end");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          s += '"';
          break;
        case '\\':
          s += '\\';
          break;
        case '/':
          s += '/';
          break;
        case 'b':
          s += '\b';
          break;
        case 'f':
          s += '\f';
          break;
        case 'n':
          s += '\n';
          break;
        case 'r':
          s += '\r';
          break;
        case 't':
          s += '\t';
          break;
        case 'u':
          if (!readEscapedCodePoint(s)) return false;
          break;
        default:
          return fail("an unknown escape in a string");
      }
    }
    if (!platform::isValidUtf8(s)) return fail("a string that is not UTF-8");
    *out = std::move(s);
    return true;
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
      const char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return v;
  }

  bool readEscapedCodePoint(std::string& s) {
    auto first = hex4();
    if (!first) return fail("a malformed \\u escape");
    uint32_t cp = *first;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("a lone surrogate");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (!consume('\\') || !consume('u')) return fail("a lone surrogate");
      auto second = hex4();
      if (!second || *second < 0xDC00 || *second > 0xDFFF) return fail("a lone surrogate");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (*second - 0xDC00);
    }
    if (cp == 0) return fail("a NUL character in a string");
    platform::utf8::append(s, cp);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string failure_;
};

}  // namespace

const std::string* JsonObject::string(const std::string& name) const {
  auto it = members.find(name);
  return it == members.end() ? nullptr : std::get_if<std::string>(&it->second);
}

std::optional<int64_t> JsonObject::integer(const std::string& name) const {
  auto it = members.find(name);
  if (it == members.end()) return std::nullopt;
  if (const auto* v = std::get_if<int64_t>(&it->second)) return *v;
  return std::nullopt;
}

JsonReading readJsonObject(std::string_view text) { return Parser(text).run(); }

}  // namespace qmk::update
