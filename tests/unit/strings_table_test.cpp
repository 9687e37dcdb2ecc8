// String tables in text form (UTF-8, UTF-16 with byte-order mark) and property-list form.
#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "support/test_support.h"

using platform::parseStringsTable;

namespace {

std::string utf16(const std::u16string& text, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t c : text) {
    char low = static_cast<char>(c & 0xFF), high = static_cast<char>(c >> 8);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

std::string text(const plist::Dictionary& table, const std::string& key) {
  auto it = table.find(key);
  return it == table.end() ? "<missing>" : it->second.stringValue().value_or("<not a string>");
}

TEST(StringsTableTest, TextFormWithCommentsAndEscapes) {
  auto table = parseStringsTable(
      "/* A comment\n spanning lines */\n"
      "\"Simple\" = \"Plain text\";\n"
      "// a line comment\n"
      "\"Escapes\" = \"quote \\\" backslash \\\\ newline \\n tab \\t cr \\r\";\n"
      "\"Unicode\" = \"\\U00e9\\u00E8 \\UD83D\\UDE00\";\n"
      "unquoted_key = unquoted.value-1;\n"
      "\"Alone\";\n"
      "\"Spaced\"   =\t\"x\"  ; /* trailing */\n"
      "\"Multi\nline\" = \"caf\xC3\xA9 %@\";\n"
      "'single' = 'quoted';\n"
      "\"Twice\" = \"first\"; \"Twice\" = \"second\";\n");
  ASSERT_TRUE(table);
  EXPECT_EQ(text(*table, "Simple"), "Plain text");
  EXPECT_EQ(text(*table, "Escapes"), "quote \" backslash \\ newline \n tab \t cr \r");
  EXPECT_EQ(text(*table, "Unicode"), "\xC3\xA9\xC3\xA8 \xF0\x9F\x98\x80");
  EXPECT_EQ(text(*table, "unquoted_key"), "unquoted.value-1");
  EXPECT_EQ(text(*table, "Alone"), "Alone");
  EXPECT_EQ(text(*table, "Spaced"), "x");
  EXPECT_EQ(text(*table, "Multi\nline"), "caf\xC3\xA9 %@");
  EXPECT_EQ(text(*table, "single"), "quoted");
  EXPECT_EQ(text(*table, "Twice"), "second");
  EXPECT_EQ(table->size(), 9u);
}

TEST(StringsTableTest, Utf16WithByteOrderMark) {
  std::u16string source = u"/* c */ \"Key\" = \"Gr\u00FC\u00DFe \U0001F600\";\n\"K2\" = \"v\";";
  for (bool littleEndian : {true, false}) {
    auto table = parseStringsTable(utf16(source, littleEndian));
    ASSERT_TRUE(table) << littleEndian;
    EXPECT_EQ(text(*table, "Key"),
              "Gr\xC3\xBC\xC3\x9F"
              "e \xF0\x9F\x98\x80");
    EXPECT_EQ(text(*table, "K2"), "v");
  }
  auto bom8 = parseStringsTable("\xEF\xBB\xBF\"a\" = \"b\";");
  ASSERT_TRUE(bom8);
  EXPECT_EQ(text(*bom8, "a"), "b");
}

TEST(StringsTableTest, PropertyListForm) {
  auto table = parseStringsTable(
      plist::toXml(testing_support::dict({{"Key", testing_support::str("Value")}})));
  ASSERT_TRUE(table);
  EXPECT_EQ(text(*table, "Key"), "Value");
  EXPECT_FALSE(parseStringsTable(plist::toXml(testing_support::arr({"a"}))));
  auto braces = parseStringsTable("{ \"a\" = \"b\"; }");
  ASSERT_TRUE(braces);
  EXPECT_EQ(text(*braces, "a"), "b");
}

TEST(StringsTableTest, EmptyTablesAreValid) {
  for (const std::string& empty :
       {std::string(), std::string("  \n"), std::string("/* only */ // comments")}) {
    auto table = parseStringsTable(empty);
    ASSERT_TRUE(table) << empty;
    EXPECT_TRUE(table->empty());
  }
}

TEST(StringsTableTest, MalformedTablesAreAbsent) {
  const std::string cases[] = {
      "\"a\" = \"b\"",                         // no semicolon
      "\"a\" = \"b",                           // string never ends
      "\"a\" = ;",                             // no value
      "= \"b\";",                              // no key
      "\"a\" \"b\";",                          // no equals sign
      "\"a\" = \"b\"; /* open",                // comment never ends
      "\"a\" = b c;",                          // two words
      "\"a\" = \"\xFF\";",                     // not UTF-8
      "{ \"a\" = \"b\";",                      // brace never closed
      "\xFF\xFE\x22",                          // odd number of UTF-16 bytes
      "<?xml version=\"1.0\"?><plist><dict>",  // broken property list
  };
  for (const auto& bytes : cases) EXPECT_FALSE(parseStringsTable(bytes)) << bytes;
}

}  // namespace
