// String tables: the text form ("key" = "value"; in UTF-8 or UTF-16 with a byte-order mark) and
// the property-list form.
#include <string_view>

#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/unicode.h"
#include "platform/utf8.h"

namespace platform {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

// The table's text as UTF-8; absent when its encoding is broken.
std::optional<std::string> decodeText(const std::string& bytes) {
  std::string_view view(bytes);
  bool littleEndian = view.starts_with(kUtf16LeBom);
  if (littleEndian || view.starts_with(kUtf16BeBom)) {
    view.remove_prefix(2);
    if (view.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    units.reserve(view.size() / 2);
    for (size_t i = 0; i < view.size(); i += 2) {
      auto first = static_cast<unsigned char>(view[i]);
      auto second = static_cast<unsigned char>(view[i + 1]);
      units += static_cast<char16_t>(littleEndian ? (second << 8 | first) : (first << 8 | second));
    }
    return unicode::toUtf8(units);
  }
  if (view.starts_with(kUtf8Bom)) view.remove_prefix(kUtf8Bom.size());
  std::string text(view);
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

bool isUnquotedCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c == '/' || c == ':' || c == '.' || c == '-';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text form: a sequence of `key = value;` or `key;` entries, optionally inside braces, with
// C comments anywhere white space may stand.
class TextTableParser {
 public:
  explicit TextTableParser(std::string_view text) : text_(text) {}

  std::optional<plist::Dictionary> parse() {
    plist::Dictionary table;
    if (!skipSpace()) return std::nullopt;
    bool braces = peek('{');
    if (braces) ++pos_;
    for (;;) {
      if (!skipSpace()) return std::nullopt;
      if (atEnd()) return braces ? std::nullopt : std::optional(table);
      if (braces && peek('}')) {
        ++pos_;
        if (!skipSpace() || !atEnd()) return std::nullopt;
        return table;
      }
      auto key = readString();
      if (!key || !skipSpace()) return std::nullopt;
      std::string value = *key;
      if (peek('=')) {
        ++pos_;
        if (!skipSpace()) return std::nullopt;
        auto read = readString();
        if (!read || !skipSpace()) return std::nullopt;
        value = std::move(*read);
      }
      if (!peek(';')) return std::nullopt;
      ++pos_;
      // A key given twice keeps its last text.
      table[*key] = plist::Value::string(std::move(value));
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  bool peek(char c) const { return !atEnd() && text_[pos_] == c; }
  bool peekAt(size_t offset, char c) const {
    return pos_ + offset < text_.size() && text_[pos_ + offset] == c;
  }

  // Skips white space and comments; false on a comment that never ends.
  bool skipSpace() {
    while (!atEnd()) {
      if (peek('/') && peekAt(1, '*')) {
        size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return false;
        pos_ = end + 2;
      } else if (peek('/') && peekAt(1, '/')) {
        size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        auto d = utf8::decode(text_, pos_);
        if (d.codePoint >= 0x10000 ||
            !unicode::isWhitespaceOrNewline(static_cast<char16_t>(d.codePoint))) {
          break;
        }
        pos_ += d.length;
      }
    }
    return true;
  }

  std::optional<std::string> readString() {
    if (atEnd()) return std::nullopt;
    if (peek('"') || peek('\'')) return readQuoted();
    size_t start = pos_;
    while (!atEnd() && isUnquotedCharacter(text_[pos_])) ++pos_;
    if (pos_ == start) return std::nullopt;
    return std::string(text_.substr(start, pos_ - start));
  }

  // Collected as UTF-16 so that "\UD83D\UDE00" escapes pair up into one character.
  std::optional<std::string> readQuoted() {
    char quote = text_[pos_++];
    std::u16string units;
    for (;;) {
      if (atEnd()) return std::nullopt;
      char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return unicode::toUtf8(units);
      }
      if (c == '\\') {
        ++pos_;
        if (atEnd()) return std::nullopt;
        units += readEscape();
        continue;
      }
      auto d = utf8::decode(text_, pos_);
      pos_ += d.length;
      std::string one;
      utf8::append(one, d.codePoint);
      units += unicode::toUtf16(one);
    }
  }

  char16_t readEscape() {
    char c = text_[pos_++];
    switch (c) {
      case 'a':
        return u'\a';
      case 'b':
        return u'\b';
      case 'f':
        return u'\f';
      case 'n':
        return u'\n';
      case 'r':
        return u'\r';
      case 't':
        return u'\t';
      case 'v':
        return u'\v';
      case 'U':
      case 'u': {
        char16_t value = 0;
        for (int i = 0; i < 4 && !atEnd() && hexDigit(text_[pos_]) >= 0; ++i) {
          value = static_cast<char16_t>(value << 4 | hexDigit(text_[pos_++]));
        }
        return value;
      }
      default:
        break;
    }
    if (c >= '0' && c <= '7') {
      char16_t value = static_cast<char16_t>(c - '0');
      for (int i = 1; i < 3 && !atEnd() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i) {
        value = static_cast<char16_t>(value << 3 | (text_[pos_++] - '0'));
      }
      return value;
    }
    // Any other escaped character stands for itself ("\"", "\\", "\'").
    return static_cast<char16_t>(static_cast<unsigned char>(c));
  }

  std::string_view text_;
  size_t pos_ = 0;
};

bool looksLikePropertyList(const std::string& bytes) {
  if (bytes.starts_with("bplist")) return true;
  std::string_view view(bytes);
  if (view.starts_with(kUtf8Bom)) view.remove_prefix(kUtf8Bom.size());
  size_t first = view.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && view[first] == '<';
}

}  // namespace

std::optional<plist::Dictionary> parseStringsTable(const std::string& bytes) {
  if (looksLikePropertyList(bytes)) {
    auto value = plist::parse(bytes);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
  }
  auto text = decodeText(bytes);
  if (!text) return std::nullopt;
  return TextTableParser(*text).parse();
}

}  // namespace platform
