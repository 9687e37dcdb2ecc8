#include "launcher/tar_header.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

struct NumberCase {
  std::string field;
  std::optional<uint64_t> value;
};

TEST(TarHeader, NumbersFollowTheOctalRulesAndBase256) {
  const NumberCase cases[] = {
      {"00000001750 ", 1000},      // GNU tar's size field, ended by a space
      {"00000001750\0"s, 1000},    // POSIX: ended by NUL
      {"  1750 99\0\0\0"s, 1000},  // leading blanks skipped; a space ends the number
      {"0000644\0"s, 0644},
      {"\0\0\0\0\0\0\0\0"s, 0},  // empty field
      {"        ", 0},
      {"17777777777 ", 2147483647},                       // 2 GiB - 1
      {"20000000000 ", 2147483648ULL},                    // 2 GiB: past any 32-bit length
      {"77777777777 ", 8589934591ULL},                    // largest octal size
      {"\x80\0\0\0\0\0\0\x02\0\0\0\0"s, 0x200000000ULL},  // base-256, 8 GiB
      {"000000001x0 ", std::nullopt},                     // not a digit
      {"00000000080 ", std::nullopt},                     // 8 is not octal
      {"\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"s, std::nullopt},  // negative
      {"7777777777777777777777777", std::nullopt},                          // more than 64 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tar::parseNumber(c.field), c.value) << "field \"" << c.field << "\"";
  }
}

TEST(TarHeader, PaxRecordsGivePathLinkAndSize) {
  std::string data = "29 path=a/very/long/name.txt\n"s + "19 linkpath=target\n" +
                     "20 size=10000000000\n" + "19 comment=a=b c d\n";
  tar::PaxRecords records = tar::parsePaxRecords(data);
  EXPECT_EQ(records.path, "a/very/long/name.txt");
  EXPECT_EQ(records.linkPath, "target");
  EXPECT_EQ(records.size, 10000000000ULL);

  // A value may hold spaces, "=" and newlines: the length decides where it ends.
  records = tar::parsePaxRecords("20 path=x y=z\nw.txt\n");
  EXPECT_EQ(records.path, "x y=z\nw.txt");

  // A malformed record ends the parse; what came before stands.
  records = tar::parsePaxRecords("12 path=abc\n99 path=def\n");
  EXPECT_EQ(records.path, "abc");
  EXPECT_FALSE(tar::parsePaxRecords("garbage").path);
  EXPECT_FALSE(tar::parsePaxRecords("13 size=12x4\n").size);

  // Lengths that do not reach past their own digits, or run past the data, end the parse
  // without reading outside it.
  for (std::string bad : {"0 path=a\n"s, "1 path=a\n"s, "2 path=a\n"s, "3 \n"s, "11 path=a\n"s,
                          "7"s, "7 "s, "12 path=abc"s}) {
    EXPECT_FALSE(tar::parsePaxRecords(bad).path) << bad;
  }

  EXPECT_FALSE(tar::parsePaxRecords("11 path=ab\n").sparse);
  EXPECT_TRUE(tar::parsePaxRecords("22 GNU.sparse.major=1\n").sparse);
}

TEST(TarHeader, PrefixIsJoinedOnlyForPosixHeaders) {
  std::string block(tar::kBlockSize, '\0');
  block.replace(0, 8, "name.txt");
  block.replace(100, 8, "0000644\0"s);
  block.replace(124, 12, "00000000012 ");
  block[156] = '0';
  block.replace(345, 6, "prefix");
  block.replace(257, 8,
                "ustar\0"
                "00"s);
  auto posix = tar::parseHeader(block);
  ASSERT_TRUE(posix);
  EXPECT_EQ(posix->name, "prefix/name.txt");
  EXPECT_EQ(posix->size, 10u);
  EXPECT_EQ(posix->mode, 0644u);

  block.replace(257, 8, "ustar  \0"s);  // GNU keeps other data where the prefix would be
  auto gnu = tar::parseHeader(block);
  ASSERT_TRUE(gnu);
  EXPECT_EQ(gnu->name, "name.txt");
  EXPECT_TRUE(tar::hasMagic(block));

  block.replace(124, 12, "0000000001z ");
  EXPECT_FALSE(tar::parseHeader(block));
}

TEST(TarHeader, PaddingReachesTheNextBlock) {
  EXPECT_EQ(tar::paddingFor(0), 0u);
  EXPECT_EQ(tar::paddingFor(1000), 24u);
  EXPECT_EQ(tar::paddingFor(512), 0u);
  EXPECT_EQ(tar::paddingFor(513), 511u);
}

}  // namespace
