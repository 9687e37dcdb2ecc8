#include "launcher/version.h"

#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "support/test_support.h"

namespace {

using Tokens = std::vector<std::string>;
using testing_support::dict;
using testing_support::str;

TEST(TypeOfCharacter, ClassifiesDigitsSeparatorsAndEverythingElse) {
  struct Case {
    std::u16string text;
    int64_t type;
  };
  const Case cases[] = {
      {u".", 2},
      {u"7", 0},
      {u"\u0663", 0} /* Arabic-Indic three: Nd */,
      {u"_", 2},
      {u"-", 2},
      {u",", 2},
      {u":", 2},
      {u"(", 2},
      {u")", 2},
      {u" ", 2},
      {u"\t", 2},
      {u"\n", 2},
      {u"\r", 2},
      {u"\u0085", 2},
      {u"\u00a0", 2},
      {u"\u2028", 2},
      {u"\u00bf", 2} /* inverted question mark: Po */,
      {u"+", 1},
      {u"a", 1},
      {u"Z", 1},
      {u"$", 1},
      {u"\u00e9", 1},
      {u"\xd835", 1} /* a lone high surrogate is in no class */,
      {u"9ab", 0} /* only the first character counts */,
      {u".x", 2},
      {u"", 1} /* never passed by callers; must not read past the end */,
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Launcher::typeOfCharacter(c.text), c.type) << "code unit count " << c.text.size();
  }
}

TEST(SplitVersionString, MakesRunsOfDigitsAndWordsAndSingleSeparators) {
  const std::pair<std::string, Tokens> cases[] = {
      {"1.8.0_311", {"1", ".", "8", ".", "0", "_", "311"}},
      {"17.0.1+12", {"17", ".", "0", ".", "1", "+", "12"}},
      {"jdk1.8.0_311.jdk", {"jdk", "1", ".", "8", ".", "0", "_", "311", ".", "jdk"}},
      {"1.8.0beta", {"1", ".", "8", ".", "0", "beta"}},
      {"1..2", {"1", ".", ".", "2"}},
      {" 1.8", {" ", "1", ".", "8"}},
      {"", {}},
      {"x", {"x"}},
      {"--", {"-", "-"}},
      {"9-ea", {"9", "-", "ea"}},
      // A character outside the basic plane is two code units, both of class other: it stays
      // whole inside its word.
      {"a\xF0\x9D\x9F\x8E"
       "b7",
       {"a\xF0\x9D\x9F\x8E"
        "b",
        "7"}},
      {"r\xC3\xA9v2", {"r\xC3\xA9v", "2"}},
  };
  for (const auto& [input, tokens] : cases) {
    EXPECT_EQ(Launcher::splitVersionString(input), tokens) << input;
  }
}

struct Ordering {
  std::string a, b;
  int result;
};

TEST(CompareVersionToVersion, WorkedTable) {
  const Ordering cases[] = {
      {"1.8.0_311", "1.8.0_45", 1},
      {"17", "1.8.0_311", 1},
      {"1.10", "1.9", 1},
      {"11.0.2", "11.0.2.1", -1},
      {"17", "17.0", -1},
      {"1.8.0", "1.8.0beta", 1},
      {"9-ea", "9", 1},
      {"1.8", "1.8a", 1},
      {"17.0.1.jdk", "17.jdk", 1},
      {"alpha-17.jdk", "17.0.1.jdk", -1},
      {"omega-17.jdk", "alpha-17.jdk", 1},
      {"17+35", "17.0.1", -1},
      {"1.8.0_05", "1.8.0_5", 0},
      {"", "", 0},
      {"", "1", -1},
  };
  for (const Ordering& c : cases) {
    EXPECT_EQ(Launcher::compareVersion(c.a, c.b), c.result) << c.a << " vs " << c.b;
    EXPECT_EQ(Launcher::compareVersion(c.b, c.a), -c.result) << c.b << " vs " << c.a;
  }
}

TEST(CompareVersionToVersion, EdgeCases) {
  const Ordering cases[] = {
      // Upper case orders before lower case; separators are all alike.
      {"JDK", "jdk", -1},
      {"1_8", "1.8", 0},
      {"1 8", "1-8", 0},
      // Digit runs beyond 64 bits saturate and then compare equal.
      {"99999999999999999999", "88888888888888888888888", 0},
      {"9223372036854775807", "9223372036854775808", 0},
      {"9223372036854775806", "9223372036854775807", -1},
      // Prefixes: only the class of the first unmatched token decides.
      {"1", "1x", 1},
      {"1", "1.", -1},
      {"1", "12", -1},
      {"", "x", 1},
      {"", ".", -1},
      // A word ranks below a separator, a separator below a number.
      {"a", ".", -1},
      {".", "0", -1},
      {"a", "0", -1},
      // Non-ASCII words compare by code unit; invalid UTF-8 reads as U+FFFD and compares equal.
      {"\xC3\xA9", "z", 1},
      {"1\xFF", "1\xFE", 0},
  };
  for (const Ordering& c : cases) {
    EXPECT_EQ(Launcher::compareVersion(c.a, c.b), c.result) << c.a << " vs " << c.b;
  }
}

TEST(CompareVersionToVersion, SurvivesHugeInputs) {
  std::string digits(100000, '7');
  std::string mixed;
  for (int i = 0; i < 20000; ++i) mixed += "a1.";
  EXPECT_EQ(Launcher::compareVersion(digits, digits + "0"), 0);
  EXPECT_EQ(Launcher::compareVersion(mixed, mixed), 0);
  EXPECT_EQ(Launcher::compareVersion(mixed + "2", mixed), 1);
}

TEST(RemoveJrePrefix, StripsEachPrefixAtMostOnceInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {"jdk1.8.0_311.jdk", "1.8.0_311.jdk"},
      {"jdk-17.0.1.jdk", "17.0.1.jdk"},
      {"openjdk-17.jdk", "17.jdk"},
      {"openjdk17.jdk", "17.jdk"},
      {"jre-jre", ""},
      {"alpha-17.jdk", "alpha-17.jdk"},
      {"omega-11.jdk", "omega-11.jdk"},
      {"jdk", ""},
      {"openjdk", ""},
      {"openjdk-jdk-jre", ""},
      {"JDK-17", "JDK-17"},
      {"jdkjdk", "jdk"},
      {"", ""},
  };
  for (const auto& [input, output] : cases) {
    EXPECT_EQ(Launcher::removeJrePrefix(input), output) << input;
  }
}

TEST(IsBetaVersion, LooksForTheMarkersCaseSensitively) {
  const std::pair<OptionalString, bool> cases[] = {
      {std::nullopt, false}, {"", false},          {"1.8.0-ea", true}, {"13-beta", true},
      {"11.0.2-rc", true},   {"17.0.1+12", false}, {"Release", true},  {"Created", true},
      {"BETA", false},       {"Oracle", false},    {"source", true},
  };
  for (const auto& [input, beta] : cases) {
    EXPECT_EQ(Launcher::isBetaVersion(input), beta) << input.value_or("(null)");
  }
}

TEST(VersionComponents, SplitsAtEveryComponentSeparator) {
  const std::pair<std::string, Tokens> cases[] = {
      {"1.8.0_311", {"1", "8", "0", "311"}},
      {"17.0.1+12", {"17", "0", "1", "12"}},
      {"9-ea", {"9", "ea"}},
      {"1..8", {"1", "", "8"}},
      {"", {""}},
      {".", {"", ""}},
      {"11.0.2\n", {"11", "0", "2\n"}},
  };
  for (const auto& [input, components] : cases) {
    EXPECT_EQ(Launcher::versionComponents(input), components) << input;
  }
}

struct Bound {
  OptionalString limit;
  std::string candidate;
  bool max;
  bool within;
};

TEST(CompareVersionBound, WorkedTable) {
  const Bound cases[] = {
      {"1.8.0_40", "1.8.0_311", false, true},
      {"1.8", "1.7.0_80", false, false},
      {"10", "9.0.4", false, false},
      {"1.8.0", "1.8", false, true},
      {"1.8.0_1", "1.8", false, false},
      {"11", "11-ea", false, true},
      {"9", "11.0.2", true, false},
      {"1.8", "1.8.0_311", true, true},
      {"1.8", "1.8.1", true, true},
      {"1.8.0_40", "1.8.0_45", true, false},
      {"1.8.0_40", "1.8.0_40", true, true},
      {"1.8.0_40", "1.8.0_40", false, true},
      {"", "1", false, true},
      {"", "1", true, true},
      {std::nullopt, "1", false, true},
      {std::nullopt, "99", true, true},
  };
  for (const Bound& c : cases) {
    EXPECT_EQ(Launcher::compareVersion(c.limit, Launcher::versionComponents(c.candidate), c.max),
              c.within)
        << c.limit.value_or("(null)") << (c.max ? " max " : " min ") << c.candidate;
  }
}

TEST(CompareVersionBound, EdgeCases) {
  const Bound cases[] = {
      // A missing candidate component is 0, so 1.8.0 and 1.8 meet both kinds of bound.
      {"1.8.0", "1.8", true, true},
      // An empty limit component counts as 0.
      {"1..8", "1.0.8", false, true},
      {"1..8", "1.1", false, true},
      {"1..8", "1.0.7", false, false},
      // Words count as 0; a limit of separators alone is all zeros.
      {"x", "0", false, true},
      {"...", "0", true, true},
      // Saturation: every number beyond 64 bits is the largest one.
      {"99999999999999999999", "9223372036854775807", false, true},
      {"9223372036854775807", "99999999999999999999", true, true},
      {"9223372036854775806", "99999999999999999999", true, false},
      // "-" separates components, so -5 is an empty component and 5.
      {"-5", "0.5", false, true},
      {"-5", "0.4", false, false},
      // Candidate components beyond the limit are never looked at.
      {"17", "17.x.y.z", true, true},
  };
  for (const Bound& c : cases) {
    EXPECT_EQ(Launcher::compareVersion(c.limit, Launcher::versionComponents(c.candidate), c.max),
              c.within)
        << c.limit.value_or("(null)") << (c.max ? " max " : " min ") << c.candidate;
  }
}

TEST(NumericValue, ReadsLeadingDigitsAndSaturates) {
  EXPECT_EQ(qmk::numericValue(""), 0);
  EXPECT_EQ(qmk::numericValue("abc"), 0);
  EXPECT_EQ(qmk::numericValue("  -42x"), -42);
  EXPECT_EQ(qmk::numericValue("+7"), 7);
  EXPECT_EQ(qmk::numericValue("08"), 8);
  EXPECT_EQ(qmk::numericValue("311\n"), 311);
  EXPECT_EQ(qmk::numericValue("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(qmk::numericValue("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(qmk::numericValue(std::string(5000, '9')), INT64_MAX);
  EXPECT_EQ(qmk::numericValue32("2147483648"), INT32_MAX);
  EXPECT_EQ(qmk::numericValue32("-2147483649"), INT32_MIN);
  EXPECT_EQ(qmk::numericValue32("25"), 25);
}

TEST(GetJavaMinVersion, ReadsTheBundleSettingUnchanged) {
  testing_support::TempDir dir;
  platform::SystemLayout layout =
      testing_support::layoutUnder(dir.path(), platform::SystemLayout::forLinux());
  auto with = testing_support::makeAppBundle(dir.path(), "With.app",
                                             dict({{"qmk.minVersion", str("1.8.0_40")}}));
  auto without = testing_support::makeAppBundle(dir.path(), "Without.app", dict({}));
  EXPECT_EQ(Launcher::getJavaMinVersion(testing_support::makeContext(with, layout, {}, dir.path())),
            "1.8.0_40");
  EXPECT_EQ(
      Launcher::getJavaMinVersion(testing_support::makeContext(without, layout, {}, dir.path())),
      std::nullopt);
}

}  // namespace
