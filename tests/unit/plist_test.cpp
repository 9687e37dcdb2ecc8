// Property lists: XML and binary reading, writing, and the platform's readings of stored values.
#include "platform/plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <climits>
#include <cmath>
#include <limits>

namespace {

using plist::Value;

const std::string kXmlHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string xmlPlist(const std::string& body) { return kXmlHeader + body + "\n</plist>\n"; }

// The binary form of a value, written by the library the platform reads with.
std::string binaryOf(const Value& value) {
  std::string xml = plist::toXml(value);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  plist_free(root);
  return bytes;
}

Value sample() {
  return Value::dictionary({
      {"CFBundleName", Value::string("Demo \xC3\xA9 <&>")},
      {"JavaVM", Value::dictionary({
                     {"JVMVersion", Value::string("1.8+")},
                     {"VMOptions", Value::array({Value::string("-Xmx1g"), Value::string("-Da=b")})},
                 })},
      {"flag", Value::boolean(true)},
      {"off", Value::boolean(false)},
      {"count", Value::integer(-42)},
      {"big", Value::integer(5000000000)},
      {"ratio", Value::real(0.25)},
      {"when", Value::date(86400)},
      {"bytes", Value::data({0, 1, 254, 255})},
      {"empty", Value::array({})},
  });
}

TEST(PlistTest, ReadsXml) {
  auto value = plist::parse(
      xmlPlist("<dict>\n"
               "  <key>JavaVM</key><dict><key>JVMVersion</key><string>17+</string></dict>\n"
               "  <key>list</key><array><string>a</string><integer>3</integer></array>\n"
               "  <key>yes</key><true/>\n"
               "  <key>real</key><real>1.5</real>\n"
               "  <key>neg</key><integer>-3</integer>\n"
               "  <key>date</key><date>2001-01-02T00:00:00Z</date>\n"
               "  <key>data</key><data>AAEC</data>\n"
               "  <key>text</key><string>a &amp; b</string>\n"
               "</dict>"));
  ASSERT_TRUE(value);
  ASSERT_TRUE(value->isDictionary());
  EXPECT_EQ((*value)["JavaVM"]["JVMVersion"].stringValue(), "17+");
  EXPECT_EQ((*value)["list"].size(), 2u);
  EXPECT_EQ((*value)["list"][0].stringValue(), "a");
  EXPECT_EQ((*value)["list"][1].asInteger(), 3);
  EXPECT_TRUE((*value)["yes"].boolValue());
  EXPECT_EQ((*value)["real"].asReal(), 1.5);
  EXPECT_EQ((*value)["neg"].asInteger(), -3);
  EXPECT_EQ((*value)["date"].asDate(), 86400.0);
  EXPECT_EQ(*(*value)["data"].asData(), (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ((*value)["text"].stringValue(), "a & b");
}

TEST(PlistTest, XmlAndBinaryRoundTrip) {
  Value original = sample();
  auto fromXml = plist::parse(plist::toXml(original));
  ASSERT_TRUE(fromXml);
  EXPECT_EQ(*fromXml, original);
  auto fromBinary = plist::parse(binaryOf(original));
  ASSERT_TRUE(fromBinary);
  EXPECT_EQ(*fromBinary, original);
}

// A binary list can hold any date; the XML writer keeps 32-bit seconds and must write the nearest
// date it can hold rather than overflow (found by fuzzing).
TEST(PlistTest, DatesBeyondTheWritersRangeAreWrittenAsItsLimits) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> cases[] = {{1e12, INT32_MAX}, {-1e12, INT32_MIN},
                                             {inf, INT32_MAX},  {-inf, INT32_MIN},
                                             {std::nan(""), 0}, {-2147483649.5, INT32_MIN}};
  for (const auto& [date, written] : cases) {
    auto value = plist::parse(plist::toXml(Value::array({Value::date(date)})));
    ASSERT_TRUE(value) << date;
    EXPECT_EQ((*value)[0].asDate(), written) << date;
  }
}

// Binary lists with UTF-16 texts, as written by the platform's tools: {"\u00e9\0b": 1},
// {"\u00e9b": 1} and {"k": "\u00e9\0b"}. A key holding U+0000 would stop the process inside the
// property-list library; such a list is refused, a value holding U+0000 is read (found by
// fuzzing).
TEST(PlistTest, BinaryKeyWithNulCharacterIsRefused) {
  const std::string nulKey(
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x63\x00\xe9\x00\x00\x00\x62\x10\x01\x08\x0b"
      "\x12\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14",
      55);
  const std::string plainKey(
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x62\x00\xe9\x00\x62\x10\x01\x08\x0b\x10\x00"
      "\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x12",
      53);
  const std::string nulValue(
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x51\x6b\x63\x00\xe9\x00\x00\x00\x62\x08\x0b"
      "\x0d\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14",
      55);
  EXPECT_FALSE(plist::parse(nulKey));
  auto plain = plist::parse(plainKey);
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)["\xC3\xA9"
                     "b"]
                .asInteger(),
            1);
  auto value = plist::parse(nulValue);
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["k"].stringValue(), std::string("\xC3\xA9\0b", 4));
  // A damaged offset table or trailer is refused rather than read past.
  std::string damaged = plainKey;
  damaged[damaged.size() - 1] = '\x7f';
  EXPECT_FALSE(plist::parse(damaged));
}

TEST(PlistTest, MalformedInputIsAbsent) {
  for (const std::string& bytes :
       {std::string(), std::string("not a plist"), xmlPlist("<dict><key>a</key>"),
        xmlPlist("<dict><key>a</key><string>b</dict>"), std::string("bplist00"),
        std::string("bplist00\x01\x02garbage", 17), binaryOf(sample()).substr(0, 40)}) {
    EXPECT_FALSE(plist::parse(bytes)) << bytes;
  }
  EXPECT_FALSE(plist::readFile("/nonexistent/Info.plist"));
}

// `levels` containers, each holding the next; dictionaries and arrays alternate.
Value nested(int levels) {
  Value value = Value::array({});
  for (int i = 1; i < levels; ++i) {
    value = i % 2 ? Value::dictionary({{"k", value}}) : Value::array({value});
  }
  return value;
}

// Documents far too deep to build as values: arrays, each holding only the next.
std::string deepXml(int levels) {
  std::string body;
  for (int i = 0; i < levels; ++i) body += "<array>";
  for (int i = 0; i < levels; ++i) body += "</array>";
  return xmlPlist(body);
}

std::string deepBinary(int levels) {
  auto bigEndian = [](std::string& out, uint64_t v, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
  };
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (int i = 0; i < levels; ++i) {
    offsets.push_back(out.size());
    if (i + 1 == levels) {
      out += '\xA0';
    } else {
      out += '\xA1';
      bigEndian(out, i + 1, 4);
    }
  }
  const uint64_t table = out.size();
  for (uint64_t offset : offsets) bigEndian(out, offset, 4);
  out += std::string(6, '\0') + "\x04\x04";
  bigEndian(out, levels, 8);
  bigEndian(out, 0, 8);
  bigEndian(out, table, 8);
  return out;
}

TEST(PlistTest, NestingBeyondFiveHundredTwelveLevelsIsMalformed) {
  struct Case {
    const char* form;
    std::string bytes;
    bool reads;
  };
  const Case cases[] = {
      {"xml, 512 levels", plist::toXml(nested(512)), true},
      {"xml, 513 levels", plist::toXml(nested(513)), false},
      {"binary, 512 levels", binaryOf(nested(512)), true},
      {"binary, 513 levels", binaryOf(nested(513)), false},
      {"xml, 50000 levels", deepXml(50000), false},
      {"binary, 20000 levels", deepBinary(20000), false},
  };
  for (const Case& c : cases) {
    auto value = plist::parse(c.bytes);
    EXPECT_EQ(value.has_value(), c.reads) << c.form;
    if (value && c.reads) {
      EXPECT_EQ(*value, nested(512)) << c.form;
    }
  }
}

TEST(PlistTest, AccessOnTheWrongTypeIsNull) {
  Value text = Value::string("x");
  EXPECT_TRUE(text["key"].isNull());
  EXPECT_TRUE(text[0].isNull());
  EXPECT_EQ(text.size(), 0u);
  EXPECT_FALSE(text.asDictionary());
  EXPECT_FALSE(Value::integer(1).stringValue());
  Value list = Value::array({Value::string("a")});
  EXPECT_TRUE(list[1].isNull());
  EXPECT_TRUE(sample()["missing"]["deeper"].isNull());
}

TEST(PlistTest, BooleanReading) {
  struct Case {
    Value value;
    bool expected;
  };
  const Case cases[] = {
      {Value::string("YES"), true},
      {Value::string("yes"), true},
      {Value::string("true"), true},
      {Value::string("T"), true},
      {Value::string("1"), true},
      {Value::string("9"), true},
      {Value::string("  +00y"), true},
      {Value::string("-5"), true},
      {Value::string("\t 007"), true},
      {Value::string("\xC2\xA0y"), true},
      {Value::string("0"), false},
      {Value::string("000"), false},
      {Value::string("no"), false},
      {Value::string("false"), false},
      {Value::string(""), false},
      {Value::string("   "), false},
      {Value::string("0.5"), false},
      {Value::string("\ny"), false},
      {Value::string("+-1"), false},
      {Value::integer(0), false},
      {Value::integer(-2), true},
      {Value::real(0.0), false},
      {Value::real(0.1), true},
      {Value::boolean(true), true},
      {Value::boolean(false), false},
      {Value(), false},
      {Value::array({Value::string("1")}), false},
      {Value::dictionary({}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.boolValue(), c.expected) << c.value.description();
}

TEST(PlistTest, IntegerReading) {
  struct Case {
    Value value;
    int32_t expected;
  };
  const Case cases[] = {
      {Value::string("42"), 42},
      {Value::string("  -17abc"), -17},
      {Value::string("+5"), 5},
      {Value::string("\xC2\xA0"
                     "12"),
       12},
      {Value::string("abc"), 0},
      {Value::string(""), 0},
      {Value::string("-"), 0},
      {Value::string("1.9"), 1},
      {Value::string("2147483647"), INT32_MAX},
      {Value::string("2147483648"), INT32_MAX},
      {Value::string("99999999999999999999999"), INT32_MAX},
      {Value::string("-2147483648"), INT32_MIN},
      {Value::string("-99999999999"), INT32_MIN},
      {Value::real(3.9), 3},
      {Value::real(-3.9), -3},
      {Value::real(1e20), INT32_MAX},
      {Value::real(-1e20), INT32_MIN},
      {Value::real(std::nan("")), 0},
      {Value::integer(5000000000), INT32_MAX},
      {Value::integer(-5000000000), INT32_MIN},
      {Value::boolean(true), 1},
      {Value(), 0},
      {Value::dictionary({}), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.intValue(), c.expected) << c.value.description();
}

TEST(PlistTest, Descriptions) {
  EXPECT_EQ(Value::string("plain text").description(), "plain text");
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value::integer(-3).description(), "-3");
  EXPECT_EQ(Value::real(0.1).description(), "0.1");
  EXPECT_EQ(Value::boolean(true).description(), "1");
  EXPECT_EQ(Value::date(0).description(), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(Value::data({1, 0xab}).description(), "{length = 2, bytes = 0x01ab}");
  Value nested = Value::dictionary({
      {"JavaVM", Value::dictionary({{"Arguments", Value::array({Value::string("a"),
                                                                Value::string("say \"hi\"")})}})},
      {"key with space", Value::integer(1)},
  });
  EXPECT_EQ(nested.description(),
            "{\n"
            "    JavaVM = {\n"
            "        Arguments = (\n"
            "            a,\n"
            "            \"say \\\"hi\\\"\"\n"
            "        );\n"
            "    };\n"
            "    \"key with space\" = 1;\n"
            "}");
}

}  // namespace
