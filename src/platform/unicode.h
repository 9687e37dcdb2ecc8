// Character classes over UTF-16 code units, the way the platform counts characters.
#pragma once

#include <string>
#include <string_view>

namespace unicode {

// Decodes UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::u16string toUtf16(std::string_view utf8);
// Encodes UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view utf16);

// Classes of one code unit (a lone surrogate is in none of them).
bool isDecimalDigit(char16_t c);         // general category Nd
bool isWhitespace(char16_t c);           // tab and the space separators (Zs)
bool isWhitespaceOrNewline(char16_t c);  // Z categories, tab, LF, VT, FF, CR, NEL
bool isPunctuation(char16_t c);          // Pc Pd Ps Pe Pi Pf Po

// Trims isWhitespace characters from both ends (UTF-8 in and out).
std::string trimWhitespace(std::string_view utf8);
// Trims isWhitespaceOrNewline characters from both ends.
std::string trimWhitespaceAndNewlines(std::string_view utf8);
// The number of UTF-16 code units of a UTF-8 text.
size_t length(std::string_view utf8);
// Drops the last `count` UTF-16 code units (everything when the text is shorter).
std::string dropLast(std::string_view utf8, size_t count);

}  // namespace unicode
