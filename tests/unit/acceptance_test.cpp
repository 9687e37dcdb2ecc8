// Accepting one candidate runtime: the bounds, the pre-release markers, the identifier prefix,
// the plug-in's four-part version, and what an acceptance records.
#include <gtest/gtest.h>

#include <cstdlib>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// The result of a check as a string, with the heap copy released (the launch keeps its copy
// for good; the tests make hundreds).
OptionalString taken(char* result) {
  if (!result) return std::nullopt;
  std::string s(result);
  std::free(result);
  return s;
}

class AcceptanceTest : public ::testing::Test {
 protected:
  AcceptanceTest()
      : app(makeAppBundle(tmp.path(), "App.app", dict({}))),
        launcher(makeContext(app, layoutUnder(tmp.path(), platform::SystemLayout::forMacOS()),
                             {app + "/Contents/MacOS/App"}, tmp.path())) {}

  OptionalString checkVersion(const OptionalString& version, const OptionalString& min = {},
                              const OptionalString& max = {}, bool plugin = false,
                              bool allowBeta = false, const OptionalString& evar = {},
                              const OptionalString& info = {}) {
    return taken(launcher.checkBundleVersion(min, max, allowBeta, plugin, version, evar, info));
  }

  // Opens `path` as the candidate and checks it.
  OptionalString checkBundle(const std::string& path, const OptionalString& prefix = {},
                             bool plugin = false, const OptionalString& min = {}) {
    launcher.javaBundle = platform::Bundle::create(path);
    return taken(launcher.checkJavaVersion(min, std::nullopt, false, plugin, prefix));
  }

  TempDir tmp;
  std::string app;
  Launcher launcher;
};

TEST_F(AcceptanceTest, WorkedTable) {
  struct Case {
    std::string version;
    bool plugin;
    OptionalString min, max, result;
    int32_t major;  // -1: unchanged
  } cases[] = {
      {"1.8.0_311", false, "1.8", {}, "1.8.0", 8},
      {"11.0.2", false, "1.8", "11", "11.0.2", 11},
      {"17.0.1+12", false, "1.8", "11", {}, -1},
      {"1.8.311.11", true, "1.8.0_40", {}, "1.8.311.11", 8},
      {"1.6.0_65", false, "1.7", {}, {}, -1},
      {"9-ea", false, {}, {}, {}, -1},
      {"1", false, {}, {}, "1", 1},
  };
  for (const Case& c : cases) {
    launcher.javaVersion.reset();
    launcher.javaMajorVersion = -1;
    EXPECT_EQ(checkVersion(c.version, c.min, c.max, c.plugin), c.result) << c.version;
    EXPECT_EQ(launcher.javaMajorVersion, c.major) << c.version;
    EXPECT_EQ(launcher.javaVersion, c.result ? OptionalString(c.version) : std::nullopt)
        << c.version;
  }
}

TEST_F(AcceptanceTest, PluginRewriteAppliesOnlyToFourPartVersionsOfTheOldScheme) {
  // 1.8.311.11 is 1.8.0_311: it passes a maximum of 1.8.0_311 and fails a minimum of 1.8.0_312.
  EXPECT_EQ(checkVersion("1.8.311.11", std::nullopt, "1.8.0_311", true), "1.8.311.11");
  EXPECT_EQ(checkVersion("1.8.311.11", "1.8.0_312", std::nullopt, true), std::nullopt);
  // Without the plug-in flag the same text is 1.8.311: far above 1.8.0_311.
  EXPECT_EQ(checkVersion("1.8.311.11", std::nullopt, "1.8.0_311", false), std::nullopt);
  // Already in the runtime form, or not of the 1.x scheme: unchanged.
  EXPECT_EQ(checkVersion("1.8.0.311", "1.8.0_311", "1.8.0_311", true), "1.8.0.311");
  EXPECT_EQ(checkVersion("1.7.0_80", "1.7.0_80", "1.7.0_80", true), "1.7.0");
  EXPECT_EQ(checkVersion("2.8.311.11", "2.8.311", "2.8.311", true), "2.8.311.11");
}

TEST_F(AcceptanceTest, TheLaunchVersionStopsAtTheFirstUnderscoreOrPlus) {
  const std::pair<std::string, std::string> cases[] = {
      {"1.8.0_311", "1.8.0"},
      {"17.0.1+12", "17.0.1"},
      {"11.0.2", "11.0.2"},
      {"17+35_1", "17"},
      {"_1", ""},
      {"25.0.3+9-LTS", "25.0.3"},
  };
  for (const auto& [version, launchVersion] : cases) {
    EXPECT_EQ(checkVersion(version), launchVersion) << version;
    EXPECT_EQ(launcher.javaVersion, version);
  }
}

TEST_F(AcceptanceTest, MajorVersionReadsTheOldSchemeAndSaturates) {
  const std::pair<std::string, int32_t> cases[] = {
      {"1.10.0", 10},
      {"1.8", 8},
      {"1", 1},
      {"25", 25},
      {"", 0},
      {"1.", 0},
      {"x.1", 0},
      {"99999999999", INT32_MAX},
      {"1.99999999999999999999999", INT32_MAX},
      {"17\n", 17},
  };
  for (const auto& [version, major] : cases) {
    ASSERT_TRUE(checkVersion(version)) << version;
    EXPECT_EQ(launcher.javaMajorVersion, major) << version;
  }
}

TEST_F(AcceptanceTest, VersionFileTextIsUsedExactlyAsRead) {
  EXPECT_EQ(checkVersion("11.0.2\n", "11", "11"), "11.0.2\n");
  EXPECT_EQ(launcher.javaVersion, "11.0.2\n");
  EXPECT_EQ(launcher.javaMajorVersion, 11);
  EXPECT_EQ(checkVersion("1.8.0_311\n", "1.8.0_311"), "1.8.0");
  EXPECT_EQ(launcher.javaVersion, "1.8.0_311\n");
}

TEST_F(AcceptanceTest, AbsentAndEmptyBounds) {
  EXPECT_EQ(checkVersion(std::nullopt), std::nullopt);
  EXPECT_EQ(checkVersion("", std::nullopt, std::nullopt), "");
  EXPECT_EQ(launcher.javaMajorVersion, 0);
  EXPECT_EQ(checkVersion("", "", ""), "");
  EXPECT_EQ(checkVersion("", "1"), std::nullopt);
}

TEST_F(AcceptanceTest, PreReleaseMarkersInAnyOfTheThreeStringsRefuseUnlessAllowed) {
  struct Case {
    OptionalString version, evar, info;
  } cases[] = {
      {"9-ea", {}, {}},         {"13-beta", {}, {}},          {"11.0.2-rc", {}, {}},
      {"17.0.1", "b12-ea", {}}, {"17.0.1", {}, "Release 17"},  // the word Release holds "ea"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checkVersion(c.version, {}, {}, false, false, c.evar, c.info), std::nullopt)
        << *c.version;
    EXPECT_TRUE(checkVersion(c.version, {}, {}, false, true, c.evar, c.info)) << *c.version;
  }
  EXPECT_EQ(checkVersion("17.0.1+12", {}, {}, false, false, "BETA", "Stable"), "17.0.1");
}

TEST_F(AcceptanceTest, RefusalKeepsTheEarlierAcceptance) {
  ASSERT_EQ(checkVersion("11.0.2"), "11.0.2");
  EXPECT_EQ(checkVersion("17.0.1", std::nullopt, "11"), std::nullopt);
  EXPECT_EQ(checkVersion("9-ea"), std::nullopt);
  EXPECT_EQ(launcher.javaVersion, "11.0.2");
  EXPECT_EQ(launcher.javaMajorVersion, 11);
}

TEST_F(AcceptanceTest, BundleVersionComesFromTheJavaVMDictionary) {
  makeRuntimeBundle(tmp / "jdk-17.jdk", "17.0.1+12");
  EXPECT_EQ(checkBundle(tmp / "jdk-17.jdk"), "17.0.1");
  EXPECT_EQ(launcher.javaVersion, "17.0.1+12");
  EXPECT_EQ(launcher.javaMajorVersion, 17);

  launcher.javaBundle.reset();
  EXPECT_EQ(taken(launcher.checkJavaVersion({}, {}, true, false, {})), std::nullopt);
}

TEST_F(AcceptanceTest, PlainRuntimeHomeIsCheckedByItsReleaseFile) {
  makePlainRuntimeHome(tmp / "java-17-openjdk-amd64", "17.0.15");
  EXPECT_EQ(checkBundle(tmp / "java-17-openjdk-amd64", {}, false, "17"), "17.0.15");
  EXPECT_EQ(launcher.javaMajorVersion, 17);
}

TEST_F(AcceptanceTest, IdentifierPrefixIsAPlainPrefixTest) {
  const std::pair<OptionalString, bool> identifiers[] = {
      {"com.example.runtime", true},  {"com.examples", true}, {"org.example.runtime", false},
      {"COM.EXAMPLE.runtime", false}, {std::nullopt, true},  // a bundle without an identifier
                                                             // passes the rule
  };
  int n = 0;
  for (const auto& [identifier, accepted] : identifiers) {
    std::string path = tmp / ("rt" + std::to_string(n++));
    std::map<std::string, plist::Value> extra;
    if (identifier) extra["CFBundleIdentifier"] = str(*identifier);
    makeRuntimeBundle(path, "11.0.2", extra);
    EXPECT_EQ(checkBundle(path, "com.example").has_value(), accepted)
        << identifier.value_or("none");
    EXPECT_TRUE(checkBundle(path, "")) << "an empty prefix is no rule";
  }
}

TEST_F(AcceptanceTest, PluginFallsBackToTheBundleVersionOnlyWithoutJVMVersion) {
  makeRuntimeBundle(tmp / "plugin", std::nullopt, {{"CFBundleVersion", str("1.8.311.11")}});
  EXPECT_EQ(checkBundle(tmp / "plugin", {}, true, "1.8.0_40"), "1.8.311.11");
  EXPECT_EQ(launcher.javaMajorVersion, 8);
  EXPECT_EQ(checkBundle(tmp / "plugin", {}, false), std::nullopt) << "not a plug-in: no fallback";

  makeRuntimeBundle(tmp / "plugin2", "1.7.0_80", {{"CFBundleVersion", str("1.8.311.11")}});
  EXPECT_EQ(checkBundle(tmp / "plugin2", {}, true, "1.8"), std::nullopt);
  EXPECT_EQ(checkBundle(tmp / "plugin2", {}, true, "1.7"), "1.7.0");
}

TEST_F(AcceptanceTest, MalformedOrMistypedPropertyListsAreRefused) {
  makeRuntimeBundle(tmp / "broken", "11");
  writeFile(tmp / "broken/Contents/Info.plist", "<plist><dict><key>JavaVM</key>");
  makeRuntimeBundle(tmp / "typed", std::nullopt,
                    {{"JavaVM", dict({{"JVMVersion", plist::Value::integer(11)}})}});
  makeRuntimeBundle(tmp / "notdict", std::nullopt, {{"JavaVM", str("11")}});
  makeDirectories(tmp / "empty");
  for (const char* name : {"broken", "typed", "notdict", "empty"}) {
    EXPECT_EQ(checkBundle(tmp / name), std::nullopt) << name;
  }
}

TEST_F(AcceptanceTest, WritesTheDebugLinesOfACheck) {
  ScopedEnv log("QUILLMARK_LOG", "yes");
  qmk::resetLogStatusForTesting();
  makeRuntimeBundle(tmp / "rt", "17.0.1+12", {{"CFBundleIdentifier", str("org.example")}});

  testing::internal::CaptureStderr();
  checkVersion("17.0.1+12", "1.8", "11");
  checkBundle(tmp / "rt", "com.example");
  checkVersion("9-ea");
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();

  EXPECT_NE(err.find("] comparing4 1 0"), std::string::npos) << err;
  EXPECT_NE(err.find("] check returned (null)"), std::string::npos) << err;
  EXPECT_NE(err.find("] identifier1 com.example"), std::string::npos) << err;
  EXPECT_NE(err.find("] identifier org.example com.example"), std::string::npos) << err;
  EXPECT_NE(err.find("] beta not allowed 9-ea"), std::string::npos) << err;
  // A prefix refusal ends the check without its closing line: two checks reached it.
  size_t closing = 0;
  for (size_t at = err.find("check returned"); at != std::string::npos;
       at = err.find("check returned", at + 1)) {
    ++closing;
  }
  EXPECT_EQ(closing, 2u) << err;
}

}  // namespace
