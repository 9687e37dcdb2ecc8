// The platform's string formatting: printf conversions, "%@", and never reading past the
// arguments it was given.
#include "platform/format.h"

#include <gtest/gtest.h>

#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstring>
#include <random>

#include "platform/number_text.h"

using platform::format;

namespace {

struct Case {
  const char* what;
  std::string expected;
  std::string actual;
};

void expectAll(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(FormatTest, IntegerConversionsFollowPrintf) {
  expectAll({
      {"plain", "42", format("%d", 42)},
      {"i", "-7", format("%i", -7)},
      {"width", "   42", format("%5d", 42)},
      {"left", "42   |", format("%-5d|", 42)},
      {"zeros", "00042", format("%05d", 42)},
      {"sign", "+42", format("%+d", 42)},
      {"space", " 42", format("% d", 42)},
      {"precision", "007", format("%.3d", 7)},
      {"hex", "ff", format("%x", 255)},
      {"HEX alternate", "0XFF", format("%#X", 255)},
      {"octal", "10", format("%o", 8)},
      {"negative int as unsigned", "4294967295", format("%u", -1)},
      {"negative long as unsigned long", "18446744073709551615", format("%lu", -1L)},
      {"negative int in hex", "ffffffff", format("%x", -1)},
      {"char length", "44", format("%hhd", 300)},
      {"short length", "4464", format("%hd", 70000)},
      {"long keeps its value", "5000000000", format("%ld", 5000000000L)},
      {"a long under %d keeps its value", "5000000000", format("%d", 5000000000LL)},
      {"large unsigned under %d does not wrap", "18446744073709551615", format("%d", ULLONG_MAX)},
      {"size_t", "12", format("%zu", size_t{12})},
      {"bool", "1 0", format("%d %d", true, false)},
      {"old long form", "9", format("%D", 9)},
  });
}

TEST(FormatTest, FloatingAndCharacterConversions) {
  expectAll({
      {"fixed", "3.14", format("%.2f", 3.14159)},
      {"fixed width", "   3.142", format("%8.3f", 3.14159)},
      {"exponent", "1.234568e+04", format("%e", 12345.678)},
      {"general", "0.0001", format("%g", 0.0001)},
      {"integer argument widens", "2.000000", format("%f", 2)},
      {"character", "A", format("%c", 'A')},
      {"character width", "  A", format("%3c", 'A')},
      {"wide character", "\xC3\xA9", format("%lc", 0xE9)},
      {"NUL character prints nothing", "[]", format("[%c]", 0)},
  });
}

TEST(FormatTest, TextConversionsAndAbsentValues) {
  const char* nullText = nullptr;
  std::optional<std::string> absent;
  expectAll({
      {"string", "hi", format("%s", "hi")},
      {"std::string", "hi there", format("%s there", std::string("hi"))},
      {"width", "   hi", format("%5s", "hi")},
      {"left", "hi   |", format("%-5s|", "hi")},
      {"precision", "he", format("%.2s", "hello")},
      {"null C string under %s", "(null)", format("%s", nullText)},
      {"null C string under %@", "(null)", format("%@", nullText)},
      {"absent optional", "(null)", format("%@", absent)},
      {"nullptr", "(null)", format("%@", nullptr)},
      {"present optional", "x", format("%@", std::optional<std::string>("x"))},
      {"object", "text", format("%@", "text")},
      {"number object", "7", format("%@", 7)},
      {"real object", "1.5", format("%@", 1.5)},
      {"object width", "  ab", format("%4@", "ab")},
      // Fields count characters, not bytes, and a precision never cuts one in two.
      {"width counts characters", "\xC3\xA9   |", format("%-4s|", "\xC3\xA9")},
      {"precision keeps characters whole", "\xC3\xA9",
       format("%.1s",
              "\xC3\xA9"
              "a")},
  });
}

TEST(FormatTest, ObjectsDescribeThemselves) {
  std::vector<std::string> list{"a", "b c"};
  EXPECT_EQ(format("%@", list), "(\n    a,\n    \"b c\"\n)");
  EXPECT_EQ(format("%@", std::vector<std::string>{}), "(\n)");
  platform::Exception e("SomeError", "went wrong");
  EXPECT_EQ(format("%@: %@", e, "x"), "went wrong: x");
  auto dict = plist::Value::dictionary({{"JVMVersion", plist::Value::string("17+")}});
  EXPECT_EQ(format("%@", dict), "{\n    JVMVersion = \"17+\";\n}");
}

TEST(FormatTest, PercentAndUnknownConversionsStayLiteral) {
  expectAll({
      {"percent", "100% done", format("100%% done")},
      {"unknown conversion", "%k 1", format("%k %d", 1)},
      {"trailing percent", "50%", format("50%")},
      {"no conversions", "plain", format("plain")},
  });
}

TEST(FormatTest, NeverReadsPastItsArguments) {
  expectAll({
      {"missing second", "1 ", format("%d %d", 1)},
      {"missing object", "[]", format("[%@]")},
      {"missing star width", "[]", format("[%*d]")},
      {"extra arguments ignored", "1", format("%d", 1, 2, 3)},
      {"position past the end", "[]", format("[%3$@]", "a")},
      {"%n writes nothing", "ab", format("a%nb", 5)},
  });
}

TEST(FormatTest, PositionsAndStarFields) {
  expectAll({
      {"positions", "b a", format("%2$@ %1$@", "a", "b")},
      {"star width", "   42", format("%*d", 5, 42)},
      {"negative star width aligns left", "42   |", format("%*d|", -5, 42)},
      {"star precision", "ab", format("%.*s", 2, "abc")},
      {"negative star precision counts as none", "abc", format("%.*s", -1, "abc")},
  });
}

TEST(FormatTest, MismatchedArgumentsPrintTheirDescription) {
  int value = 0;
  expectAll({
      {"string under %d", "abc", format("%d", "abc")},
      {"string under %d keeps width", "   ab", format("%5d", "ab")},
      {"number under %s", "42", format("%s", 42)},
      {"real under %d", "2.5", format("%d", 2.5)},
      {"absent under %d", "(null)", format("%d", nullptr)},
      {"null pointer under %p", "0x0", format("%p", nullptr)},
      {"pointer", format("%p", static_cast<void*>(&value)), format("%p", &value)},
  });
  EXPECT_EQ(format("%p", reinterpret_cast<void*>(0x10)), "0x10");
}

TEST(FormatTest, LogLineLayout) {
  EXPECT_EQ(format("%s [Line %d] found %@", "int main(int, char **)", 12, "x"),
            "int main(int, char **) [Line 12] found x");
}

TEST(FormatTest, HugeWidthsAreClamped) {
  EXPECT_LE(format("%999999999d", 1).size(), 65536u);
  EXPECT_LE(format("%.999999999f", 1.0).size(), 65536u + 2);
}

}  // namespace

// The launcher writes and reads real numbers without the C++ library's own conversions (they
// would pull in libm); the text must stay what those conversions give, in any locale.
TEST(NumberTextTest, ShortestTextMatchesTheStandardConversionAndReadsBack) {
  auto standard = [](double v) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
  };
  // Plain, whole, tiny and huge values; the largest, smallest and subnormal ones.
  std::vector<double> values = {0.1, 100, 1e22, 1e-5, 0.0001, 123456, 1.5, -2.25, 0.3, 2.0 / 3};
  for (double v : {5e-324, 1.7976931348623157e308, 2.2250738585072014e-308, 9007199254740993.0,
                   1e15, 1e16, 1e17, 1e21, 123456789012345680000.0}) {
    values.push_back(v);
  }
  // Powers of two, where the neighbours below are nearer than those above.
  for (int e = -1074; e <= 1023; e += 7) values.push_back(std::ldexp(1.0, e));
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  for (double v : values) {
    const std::string text = platform::shortestNumberText(v);
    ASSERT_EQ(text, standard(v)) << "the standard conversion writes this value otherwise";
    ASSERT_EQ(platform::numberFromText(text), v) << text;
  }
  EXPECT_EQ(platform::shortestNumberText(-0.0), "-0");
  EXPECT_EQ(platform::shortestNumberText(0.0), "0");
  EXPECT_EQ(platform::shortestNumberText(-INFINITY), "-inf");
  EXPECT_EQ(platform::shortestNumberText(NAN), "nan");
}

TEST(NumberTextTest, ReadingIsWholeTextAndUnaffectedByTheLocale) {
  // A locale with a decimal comma, where one is installed; the C locale otherwise.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(platform::numberFromText("1.5"), 1.5);
  EXPECT_EQ(platform::numberFromText("1e400"), HUGE_VAL);
  EXPECT_EQ(platform::numberFromText("1.5x"), std::nullopt);
  EXPECT_EQ(platform::numberFromText(""), std::nullopt);
  EXPECT_EQ(platform::shortestNumberText(0.25), "0.25");
  std::setlocale(LC_NUMERIC, saved.c_str());
}
