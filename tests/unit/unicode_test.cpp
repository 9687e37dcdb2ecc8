// Character classes and lengths over UTF-16 code units.
#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace {

const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two code units
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(UnicodeTest, ConvertsBetweenUtf8AndUtf16) {
  std::string text = "a\xC3\xA9" + kEmoji;
  std::u16string units = unicode::toUtf16(text);
  EXPECT_EQ(units, (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00}));
  EXPECT_EQ(unicode::toUtf8(units), text);
  EXPECT_EQ(unicode::toUtf16("a\xFF"
                             "b"),
            (std::u16string{u'a', 0xFFFD, u'b'}));
  EXPECT_EQ(unicode::toUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
  EXPECT_EQ(unicode::toUtf8(std::u16string{u'x', 0xD800}), "x" + kReplacement);
  EXPECT_EQ(unicode::toUtf8(std::u16string{0xDC00, u'x'}), kReplacement + "x");
}

TEST(UnicodeTest, CharacterClasses) {
  struct Case {
    char16_t c;
    bool digit, space, spaceOrNewline, punctuation;
  };
  const Case cases[] = {
      {u'5', true, false, false, false},
      {0x0663, true, false, false, false},   // Arabic-Indic three
      {0x00BD, false, false, false, false},  // one half: a number, not a digit
      {u'a', false, false, false, false},
      {u' ', false, true, true, false},
      {u'\t', false, true, true, false},
      {0x00A0, false, true, true, false},  // no-break space
      {0x3000, false, true, true, false},  // ideographic space
      {u'\n', false, false, true, false},
      {u'\r', false, false, true, false},
      {0x0B, false, false, true, false},
      {0x0C, false, false, true, false},
      {0x85, false, false, true, false},
      {0x2028, false, false, true, false},  // line separator
      {0x2029, false, false, true, false},  // paragraph separator
      {u'.', false, false, false, true},
      {u'-', false, false, false, true},
      {u'_', false, false, false, true},
      {u'(', false, false, false, true},
      {0x00AB, false, false, false, true},   // left guillemet
      {u'+', false, false, false, false},    // a math symbol
      {u'$', false, false, false, false},    // a currency symbol
      {0xD800, false, false, false, false},  // lone surrogates are in no class
      {0xDFFF, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<int>(c.c));
    EXPECT_EQ(unicode::isDecimalDigit(c.c), c.digit);
    EXPECT_EQ(unicode::isWhitespace(c.c), c.space);
    EXPECT_EQ(unicode::isWhitespaceOrNewline(c.c), c.spaceOrNewline);
    EXPECT_EQ(unicode::isPunctuation(c.c), c.punctuation);
  }
}

TEST(UnicodeTest, Trimming) {
  EXPECT_EQ(unicode::trimWhitespace("  a b \t"), "a b");
  EXPECT_EQ(unicode::trimWhitespace("\n a \n"), "\n a \n");
  EXPECT_EQ(unicode::trimWhitespace("\xC2\xA0x\xE3\x80\x80"), "x");
  EXPECT_EQ(unicode::trimWhitespace("   "), "");
  EXPECT_EQ(unicode::trimWhitespaceAndNewlines("\r\n a\t\xE2\x80\xA8"), "a");
  // Bytes that are not UTF-8 are content, never white space.
  EXPECT_EQ(unicode::trimWhitespace(" \xFF "), "\xFF");
  EXPECT_EQ(unicode::trimWhitespaceAndNewlines(kEmoji + "\n"), kEmoji);
}

TEST(UnicodeTest, LengthCountsCodeUnits) {
  EXPECT_EQ(unicode::length(""), 0u);
  EXPECT_EQ(unicode::length("abc"), 3u);
  EXPECT_EQ(unicode::length("\xC3\xA9"), 1u);
  EXPECT_EQ(unicode::length(kEmoji), 2u);
  EXPECT_EQ(unicode::length("\xFF"
                            "a"),
            2u);
}

TEST(UnicodeTest, DropLast) {
  EXPECT_EQ(unicode::dropLast("Demo.app", 3), "Demo.");
  EXPECT_EQ(unicode::dropLast("D\xC3\xA9mo.\xC3\xA9pp", 3), "D\xC3\xA9mo.");
  EXPECT_EQ(unicode::dropLast("ab", 5), "");
  EXPECT_EQ(unicode::dropLast("ab", 0), "ab");
  EXPECT_EQ(unicode::dropLast("a" + kEmoji, 2), "a");
  // Half a surrogate pair left behind reads as a replacement character.
  EXPECT_EQ(unicode::dropLast("a" + kEmoji, 1), "a" + kReplacement);
}

}  // namespace
