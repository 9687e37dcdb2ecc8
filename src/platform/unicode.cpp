#include "platform/unicode.h"

#include <utf8proc.h>

#include <vector>

#include "platform/utf8.h"

namespace unicode {

namespace {

using platform::utf8::decode;
using platform::utf8::kInvalid;

constexpr char16_t kReplacement = 0xFFFD;

bool isSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

utf8proc_category_t category(char16_t c) {
  return utf8proc_category(static_cast<utf8proc_int32_t>(c));
}

// UTF-16 code units of one decoded sequence (an invalid byte stands for one U+FFFD).
size_t unitsOf(char32_t cp) { return cp != kInvalid && cp >= 0x10000 ? 2 : 1; }

// A code point is in a class of code units only when it is one code unit itself.
template <typename Predicate>
bool codePointIn(char32_t cp, Predicate inClass) {
  return cp != kInvalid && cp < 0x10000 && inClass(static_cast<char16_t>(cp));
}

template <typename Predicate>
std::string trim(std::string_view text, Predicate inClass) {
  size_t begin = 0;
  while (begin < text.size()) {
    auto d = decode(text, begin);
    if (!codePointIn(d.codePoint, inClass)) break;
    begin += d.length;
  }
  // A text that ends in a plain ASCII character outside the class ends there: that byte is a
  // code point of its own whatever comes before it. Otherwise the end is found walking
  // forwards, because a backward walk cannot tell where an invalid sequence starts.
  if (begin < text.size()) {
    const auto last = static_cast<unsigned char>(text.back());
    if (last < 0x80 && !inClass(static_cast<char16_t>(last))) {
      return std::string(text.substr(begin));
    }
  }
  size_t end = begin;
  for (size_t pos = begin; pos < text.size();) {
    auto d = decode(text, pos);
    pos += d.length;
    if (!codePointIn(d.codePoint, inClass)) end = pos;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) {
    auto d = decode(utf8, pos);
    pos += d.length;
    if (d.codePoint == kInvalid) {
      out += kReplacement;
    } else if (d.codePoint >= 0x10000) {
      char32_t v = d.codePoint - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(d.codePoint);
    }
  }
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char16_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00);
      platform::utf8::append(out, cp);
      ++i;
    } else if (isSurrogate(c)) {
      platform::utf8::append(out, kReplacement);
    } else {
      platform::utf8::append(out, c);
    }
  }
  return out;
}

bool isDecimalDigit(char16_t c) { return !isSurrogate(c) && category(c) == UTF8PROC_CATEGORY_ND; }

bool isWhitespace(char16_t c) {
  // Below U+0080 the only space separator is the space: no table look-up for plain text.
  if (c < 0x80) return c == u'\t' || c == u' ';
  return !isSurrogate(c) && category(c) == UTF8PROC_CATEGORY_ZS;
}

bool isWhitespaceOrNewline(char16_t c) {
  switch (c) {
    case u'\t':
    case u'\n':
    case 0x0B:
    case 0x0C:
    case u'\r':
    case 0x85:
      return true;
    default:
      break;
  }
  if (c < 0x80) return c == u' ';
  if (isSurrogate(c)) return false;
  auto cat = category(c);
  return cat == UTF8PROC_CATEGORY_ZS || cat == UTF8PROC_CATEGORY_ZL || cat == UTF8PROC_CATEGORY_ZP;
}

bool isPunctuation(char16_t c) {
  if (isSurrogate(c)) return false;
  auto cat = category(c);
  return cat >= UTF8PROC_CATEGORY_PC && cat <= UTF8PROC_CATEGORY_PO;
}

std::string trimWhitespace(std::string_view utf8) { return trim(utf8, isWhitespace); }

std::string trimWhitespaceAndNewlines(std::string_view utf8) {
  return trim(utf8, isWhitespaceOrNewline);
}

size_t length(std::string_view utf8) {
  size_t units = 0;
  for (size_t pos = 0; pos < utf8.size();) {
    auto d = decode(utf8, pos);
    pos += d.length;
    units += unitsOf(d.codePoint);
  }
  return units;
}

std::string dropLast(std::string_view utf8, size_t count) {
  struct Piece {
    size_t start;
    size_t units;
  };
  std::vector<Piece> pieces;
  for (size_t pos = 0; pos < utf8.size();) {
    auto d = decode(utf8, pos);
    pieces.push_back({pos, unitsOf(d.codePoint)});
    pos += d.length;
  }
  size_t end = utf8.size();
  size_t dropped = 0;
  while (!pieces.empty() && dropped < count) {
    const Piece& last = pieces.back();
    if (dropped + last.units > count) {
      // Half of a surrogate pair stays: like any lone surrogate it reads as U+FFFD.
      std::string kept(utf8.substr(0, last.start));
      platform::utf8::append(kept, kReplacement);
      return kept;
    }
    dropped += last.units;
    end = last.start;
    pieces.pop_back();
  }
  return std::string(utf8.substr(0, end));
}

}  // namespace unicode
