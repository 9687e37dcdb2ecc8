// The property-list readers' refusals and their reasons, the limits that keep hostile lists
// bounded, and the writer's output read back by both readers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/plist.h"
#include "support/plist_reference.h"
#include "support/test_support.h"

namespace {

using plist::Value;

// A binary list of the given objects (each one byte-string), 1-byte offsets and references.
std::string binary(const std::vector<std::string>& objects, uint8_t root = 0) {
  std::string out = "bplist00";
  std::vector<uint8_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(static_cast<uint8_t>(out.size()));
    out += o;
  }
  const auto table = static_cast<uint8_t>(out.size());
  for (uint8_t o : offsets) out += static_cast<char>(o);
  out += std::string(6, '\0') + "\x01\x01";
  out += std::string(7, '\0') + static_cast<char>(objects.size());
  out += std::string(7, '\0') + static_cast<char>(root);
  out += std::string(7, '\0') + static_cast<char>(table);
  return out;
}

TEST(PlistReaderTest, RefusalsGiveTheirReason) {
  const std::string billionLaughs =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
      "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]><plist><string>&h;</string></plist>";
  struct Case {
    const char* name;
    std::string bytes;
    std::string reason;  // what the reason starts with or holds
  };
  const Case cases[] = {
      {"empty", "", "the file is empty"},
      {"mismatched tag", "<plist>\n<dict>\n</array>", "line 3, column 3: mismatched tag"},
      {"no number", "<plist>\n<integer>x</integer></plist>", "line 2: <integer> holds no number"},
      {"no base64", "<plist><data>!!</data></plist>", "line 1: <data> holds no base64"},
      {"no date", "<plist><date>yesterday</date></plist>", "line 1: <date> holds no date"},
      {"value without key", "<plist><dict><string>a</string></dict></plist>",
       "line 1: a value without a <key> in a dictionary"},
      {"unknown element", "<plist><list/></plist>", "line 1: unknown element <list>"},
      {"external entity",
       "<!DOCTYPE plist [<!ENTITY x SYSTEM \"/etc/passwd\">]><plist><string>&x;</string></plist>",
       "external entity \"/etc/passwd\" is not read"},
      {"undefined entity", "<!DOCTYPE plist SYSTEM \"x.dtd\"><plist><string>&x;</string></plist>",
       "undefined entity &x;"},
      {"entity amplification", billionLaughs, "line 1, column"},
      {"binary cycle", binary({std::string("\xa1\x00", 2)}), "offset 0x8: container holds itself"},
      {"binary reference out of range", binary({"\xa1\x05"}),
       "offset 0x9: object reference 5 out of range"},
      {"binary truncated",
       binary({"\x5f\x10\x40"
               "abc"}),
       "offset 0x8: object runs past"},
  };
  for (const Case& c : cases) {
    auto reading = plist::parseWithReason(c.bytes);
    EXPECT_FALSE(reading.value) << c.name;
    EXPECT_NE(reading.reason.find(c.reason), std::string::npos) << c.name << ": " << reading.reason;
  }
}

TEST(PlistReaderTest, SharedReferencesReadOnceAndMultiplyingOnesAreRefused) {
  // A container referenced twice is fine; 40 levels of arrays holding the next twice stand for
  // 2^40 values and are refused.
  auto shared = plist::parse(binary({"\xa2\x01\x01", "\xa1\x02", "\x10\x07"}));
  ASSERT_TRUE(shared);
  EXPECT_EQ((*shared)[1][0].asInteger(), 7);
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) doubling.push_back(std::string("\xa2") + char(i + 1) + char(i + 1));
  doubling.push_back("\x09");
  auto reading = plist::parseWithReason(binary(doubling));
  EXPECT_FALSE(reading.value);
  EXPECT_NE(reading.reason.find("references expand"), std::string::npos) << reading.reason;
}

TEST(PlistReaderTest, FileReasonsComeFromTheSystem) {
  testing_support::TempDir tmp;
  EXPECT_EQ(plist::readFileWithReason(tmp / "none.plist").reason, "no such file");
  EXPECT_EQ(plist::readFileWithReason(tmp.path()).reason, "is a directory");
  testing_support::writeFile(tmp / "f", "x");
  EXPECT_EQ(plist::readFileWithReason(tmp / "f" + "/Info.plist").reason,
            "a component of the path is not a directory");
}

TEST(PlistReaderTest, WrittenTextReadsBackThroughBothReaders) {
  const Value value = Value::dictionary({
      {"a&b<c>", Value::string("x & y < z > w \"q\" 'r'")},
      {"line ends", Value::string("one\r\ntwo\rthree\n")},
      {"unicode", Value::string("n\xC3\xAF\xE2\x98\x83 \xF0\x9F\x98\x80")},
      {"real", Value::real(0.1)},
      {"data", Value::data({0, 1, 2, 3, 254})},
      {"date", Value::date(-86400.0)},
  });
  const std::string xml = plist::toXml(value);
  auto ours = plist::parse(xml);
  auto theirs = testing_support::libplistParse(xml);
  ASSERT_TRUE(ours);
  ASSERT_TRUE(theirs);
  EXPECT_EQ(*ours, value);
  EXPECT_EQ(*theirs, value);
  // What XML cannot carry is written as U+FFFD.
  auto control = plist::parse(plist::toXml(Value::array({Value::string("a\x01z\xFF")})));
  ASSERT_TRUE(control);
  EXPECT_EQ((*control)[0].stringValue(), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

}  // namespace
