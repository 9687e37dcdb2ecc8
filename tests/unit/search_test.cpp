// Choosing the runtime: shipped runtimes, the search sequence, the installation registry, with
// real directory trees and a Launcher built on an injected context.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Expands by copying; fails for a packed file that says FAIL.
constexpr const char* kUnpackTool =
    "#!/bin/sh\n[ \"$1\" = -r ] && shift\ngrep -q FAIL \"$1\" && exit 3\ncp \"$1\" \"$2\" && rm -f "
    "\"$1\"\n";

constexpr const char* kAppId = "com.example.app";

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override { resetLaunchStateForTesting(); }
  void TearDown() override { resetLaunchStateForTesting(); }

  // The application bundle with `info`, and a launcher on it.
  Launcher& makeLauncher(std::map<std::string, plist::Value> info) {
    app = makeAppBundle(tmp.path(), "App.app", dict(std::move(info)));
    writeFile(app + "/Contents/Resources/Localizable.strings",
              "\"vexel.InternalError\" = \"Internal error: %@\";\n"
              "\"NonWritablePackDir\" = \"The runtime folder is not writable\";\n");
    LaunchContext context = makeContext(app, layout, {app + "/Contents/MacOS/App"}, home, &notices);
    // Notices also go to standard error, where a death test can see them.
    auto recorder = context.showNotice;
    context.showNotice = [recorder](const OptionalString& header, const std::string& message) {
      std::fprintf(stderr, "NOTICE: %s\n", message.c_str());
      recorder(header, message);
    };
    launcher.emplace(std::move(context));
    return *launcher;
  }

  OptionalString search(std::map<std::string, plist::Value> info, bool registry = false) {
    std::free(launchJavaVersion);
    launchJavaVersion = nullptr;
    return makeLauncher(std::move(info)).findJavaBundle(registry);
  }

  OptionalString launchVersion() const {
    return launchJavaVersion ? OptionalString(launchJavaVersion) : std::nullopt;
  }

  static plist::Value sequence(const std::vector<std::string>& entries) {
    return dict({{"SearchSequence", arr(entries)}});
  }

  // A runtime bundle with a packed file in its home and the tool to expand it.
  void makeShippedBundle(const std::string& path, const OptionalString& version,
                         const std::string& packed = "classes") {
    makeRuntimeBundle(path, version);
    writeFile(path + "/Contents/Home/bin/unpack200", kUnpackTool, 0755);
    writeFile(path + "/Contents/Home/lib/rt.jar.pack", packed);
  }

  void writeRegistry(std::map<std::string, plist::Value> entries) {
    writeFile(home + "/Library/Preferences/com.quillmark.installations.plist",
              plist::toXml(dict({{"/com/quillmark/installations/", dict(std::move(entries))}})));
  }

  TempDir tmp;
  std::string home = tmp / "home";
  std::string jvm = tmp / "jvm";
  platform::SystemLayout layout = layoutUnder(tmp.path(), platform::SystemLayout::forMacOS());
  std::string app;
  std::vector<Notice> notices;
  std::optional<Launcher> launcher;
};

// --- Shipped runtimes -----------------------------------------------------------------------

TEST_F(SearchTest, ShippedBundleIsPreferredOverEverythingAndIgnoresTheBounds) {
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17.0.1");
  std::string shipped = tmp / "App.app/Contents/Resources/jre.bundle";
  makeShippedBundle(shipped, "9-ea");
  auto result = search({{"qmk.minVersion", str("11")},
                        {"qmk.vmIdPrefix", str("com.nobody")},
                        {"JavaVM", sequence({"Y"})}});
  EXPECT_EQ(result, shipped);
  EXPECT_EQ(launchVersion(), "9-ea");
  EXPECT_TRUE(launcher->javaBundle);
  EXPECT_EQ(readFile(shipped + "/Contents/Home/lib/rt.jar"), "classes") << "expanded";
  EXPECT_FALSE(exists(shipped + "/Contents/Home/lib/rt.jar.pack"));
}

TEST_F(SearchTest, PlugInsBundleIsUsedWhenResourcesHasNone) {
  writeFile(tmp / "App.app/Contents/Resources/jre.bundle", "a file is no bundle");
  std::string shipped = tmp / "App.app/Contents/PlugIns/jre.bundle";
  makeShippedBundle(shipped, "11.0.2");
  EXPECT_EQ(search({}), shipped);
  EXPECT_EQ(launcher->javaMajorVersion, 11);
}

TEST_F(SearchTest, ShippedBundleWithoutVersionEndsTheSearchWithNothingAfterUnpacking) {
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17.0.1");
  std::string shipped = tmp / "App.app/Contents/Resources/jre.bundle";
  makeShippedBundle(shipped, std::nullopt);
  EXPECT_EQ(search({{"JavaVM", sequence({"Y"})}}), std::nullopt);
  EXPECT_FALSE(launcher->javaBundlePath);
  EXPECT_FALSE(launcher->javaBundle);
  EXPECT_EQ(launchVersion(), std::nullopt);
  EXPECT_TRUE(exists(shipped + "/Contents/Home/lib/rt.jar"));
}

TEST_F(SearchTest, ShippedPlainDirectoryIsTakenAsVersion170WithoutReadingIt) {
  std::string base = tmp / "App.app/Contents/base";
  std::string plain = base + "/.quillmark/jre";
  // Both the home and its jre/ subdirectory get expanded, each with its own tool.
  for (const std::string& dir : {plain, plain + "/jre"}) {
    writeFile(dir + "/bin/unpack200", kUnpackTool, 0755);
    writeFile(dir + "/lib/ext/x.jar.pack", "x");
  }
  writeFile(plain + "/release", "JAVA_VERSION=\"1.4.2\"\n");  // not read
  auto result =
      search({{"qmk.baseDir", str("$APP_PACKAGE/Contents/base")}, {"qmk.minVersion", str("11")}});
  EXPECT_EQ(result, plain);
  EXPECT_EQ(launchVersion(), "1.7.0");
  EXPECT_FALSE(launcher->javaVersion);
  EXPECT_EQ(launcher->javaMajorVersion, -1);
  EXPECT_TRUE(exists(plain + "/lib/ext/x.jar"));
  EXPECT_TRUE(exists(plain + "/jre/lib/ext/x.jar"));
}

TEST_F(SearchTest, BaseDirectoryBundleWinsOverThePlainDirectory) {
  std::string base = tmp / "base";
  makeShippedBundle(base + "/.quillmark/jre.bundle", "11.0.2");
  makeDirectories(base + "/.quillmark/jre");
  EXPECT_EQ(search({{"qmk.baseDir", str(base)}}), base + "/.quillmark/jre.bundle");
  EXPECT_EQ(launchVersion(), "11.0.2");
}

TEST_F(SearchTest, RelativeBaseDirectoryIsRecordedAbsolute) {
  makeDirectories(tmp / "base/.quillmark/jre");
  ScopedCurrentDirectory cwd(tmp.path());
  EXPECT_EQ(search({{"qmk.baseDir", str("base")}}), tmp / "base/.quillmark/jre");
}

TEST_F(SearchTest, EmptyOrMistypedBaseDirectoryNamesNothing) {
  makeDirectories(tmp / ".quillmark/jre");
  ScopedCurrentDirectory cwd(tmp.path());
  EXPECT_EQ(search({{"qmk.baseDir", str("")}, {"JavaVM", sequence({})}}), std::nullopt);
  EXPECT_EQ(search({{"qmk.baseDir", plist::Value::integer(1)}, {"JavaVM", sequence({})}}),
            std::nullopt);
}

TEST_F(SearchTest, FailedExpansionInAWritableHomeEndsWithInternalError) {
  std::string shipped = tmp / "App.app/Contents/Resources/jre.bundle";
  makeShippedBundle(shipped, "11", "FAIL");
  makeLauncher({});
  EXPECT_EXIT(launcher->findJavaBundle(false), ::testing::ExitedWithCode(1),
              "NOTICE: Internal error: could not run unpack200");
  EXPECT_FALSE(exists(shipped + "/Contents/Home/_qmk_testdir")) << "the write test cleans up";
}

TEST_F(SearchTest, AnExistingTestDirectoryMeansNonWritable) {
  std::string shipped = tmp / "App.app/Contents/Resources/jre.bundle";
  makeShippedBundle(shipped, "11", "FAIL");
  makeDirectories(shipped + "/Contents/Home/_qmk_testdir");
  makeLauncher({});
  EXPECT_EXIT(launcher->findJavaBundle(false), ::testing::ExitedWithCode(1),
              "NOTICE: The runtime folder is not writable");
}

TEST_F(SearchTest, AnUnstartableToolRaises) {
  std::string shipped = tmp / "App.app/Contents/Resources/jre.bundle";
  makeShippedBundle(shipped, "11");
  fs::remove(shipped + "/Contents/Home/bin/unpack200");
  makeLauncher({});
  EXPECT_THROW(launcher->findJavaBundle(false), platform::Exception);
}

// --- Search sequence ------------------------------------------------------------------------

TEST_F(SearchTest, SearchSequenceEntries) {
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17.0.1");
  makeRuntimeBundle(tmp / "rt/jdk-11.jdk", "11.0.2");
  makePlainRuntimeHome(tmp / "rt/plain", "21.0.1");
  ScopedEnv set("QMK_TEST_JDK", tmp / "rt/plain");
  ScopedEnv unset("QMK_TEST_UNSET", std::nullopt);
  // The current directory is a runtime too: an empty path must not find it.
  makePlainRuntimeHome(tmp / "cwd", "8");
  ScopedCurrentDirectory cwd(tmp / "cwd");

  struct Case {
    std::optional<std::vector<std::string>> entries;  // absent: no SearchSequence key
    OptionalString expected;
  } cases[] = {
      {std::nullopt, jvm + "/jdk-17.jdk"},
      {std::vector<std::string>{}, std::nullopt},
      {std::vector<std::string>{"Yes"}, jvm + "/jdk-17.jdk"},
      {std::vector<std::string>{"y", "", "r" + tmp / "rt/jdk-11.jdk", "X"}, std::nullopt},
      {std::vector<std::string>{"R"}, std::nullopt},
      {std::vector<std::string>{"EQMK_TEST_UNSET"}, std::nullopt},
      {std::vector<std::string>{"EQMK_TEST_UNSET", "Y"}, jvm + "/jdk-17.jdk"},
      {std::vector<std::string>{"EQMK_TEST_JDK", "Y"}, tmp / "rt/plain"},
      {std::vector<std::string>{"R" + tmp / "rt/jdk-11.jdk", "EQMK_TEST_JDK"},
       tmp / "rt/jdk-11.jdk"},
      {std::vector<std::string>{"R" + tmp / "rt", "Rplain-missing", "Y"}, jvm + "/jdk-17.jdk"},
  };
  for (const Case& c : cases) {
    std::map<std::string, plist::Value> info;
    if (c.entries) info["JavaVM"] = sequence(*c.entries);
    std::string label = c.entries ? std::to_string(c.entries->size()) + " entries" : "absent";
    EXPECT_EQ(search(info), c.expected) << label;
    EXPECT_EQ(launcher->javaBundlePath, c.expected) << label;
    EXPECT_EQ(launcher->javaBundle != nullptr, c.expected.has_value()) << label;
  }
}

TEST_F(SearchTest, MistypedSearchSequenceEntriesAreSkipped) {
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17.0.1");
  plist::Value mixed = plist::Value::array({plist::Value::integer(1), dict({}), str("Y")});
  EXPECT_EQ(search({{"JavaVM", dict({{"SearchSequence", mixed}})}}), jvm + "/jdk-17.jdk");
  // A sequence that is not a list counts as absent.
  EXPECT_EQ(search({{"JavaVM", dict({{"SearchSequence", str("R/nowhere")}})}}),
            jvm + "/jdk-17.jdk");
  EXPECT_EQ(search({{"JavaVM", str("not a dictionary")}}), jvm + "/jdk-17.jdk");
}

TEST_F(SearchTest, BoundsPrefixAndBetaSettings) {
  makeRuntimeBundle(jvm + "/jdk-21-ea.jdk", "21-ea");
  makeRuntimeBundle(jvm + "/jdk-17.0.1.jdk", "17.0.1",
                    {{"CFBundleIdentifier", str("com.vendor.jdk17")}});
  makeRuntimeBundle(jvm + "/jdk-11.0.2.jdk", "11.0.2",
                    {{"CFBundleIdentifier", str("org.other.jdk11")}});
  makeRuntimeBundle(jvm + "/jdk1.8.0_311.jdk", "1.8.0_311");
  struct Case {
    std::map<std::string, plist::Value> settings;
    OptionalString chosen;
  } cases[] = {
      {{}, "jdk-17.0.1.jdk"},
      {{{"qmk.allowBeta", plist::Value::boolean(true)}}, "jdk-21-ea.jdk"},
      {{{"qmk.allowBeta", str("  +0Yes")}}, "jdk-21-ea.jdk"},
      {{{"qmk.allowBeta", str("no")}}, "jdk-17.0.1.jdk"},
      {{{"qmk.allowBeta", plist::Value::integer(2)}}, "jdk-21-ea.jdk"},
      {{{"qmk.maxVersion", str("11")}}, "jdk-11.0.2.jdk"},
      {{{"qmk.maxVersion", str("1.8")}}, "jdk1.8.0_311.jdk"},
      {{{"qmk.minVersion", str("1.8")}, {"qmk.maxVersion", str("1.8.0_310")}}, std::nullopt},
      {{{"qmk.minVersion", str("18")}}, std::nullopt},
      {{{"qmk.minVersion", str("18")}, {"qmk.allowBeta", str("true")}}, "jdk-21-ea.jdk"},
      {{{"qmk.vmIdPrefix", str("org.other")}, {"qmk.maxVersion", str("17")}}, "jdk-11.0.2.jdk"},
      {{{"qmk.vmIdPrefix", str("org.")}, {"qmk.minVersion", str("12")}}, std::nullopt},
      {{{"qmk.vmIdPrefix", str("com.vendor")}}, "jdk-17.0.1.jdk"},
  };
  int n = 0;
  for (const Case& c : cases) {
    OptionalString result = search(c.settings);
    EXPECT_EQ(result, c.chosen ? OptionalString(jvm + "/" + *c.chosen) : std::nullopt)
        << "case " << n;
    ++n;
  }
}

TEST_F(SearchTest, PlugInIsAcceptedBeforeThePublicDirectory) {
  layout = layoutUnder(tmp.path(), platform::SystemLayout::forMacOS(), true);
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17.0.1");
  makeRuntimeBundle(*layout.pluginPath, std::nullopt,
                    {{"CFBundleVersion", str("1.8.311.11")},
                     {"CFBundleIdentifier", str("com.oracle.java.JavaAppletPlugin")}});
  writeFile(*layout.pluginPath + "/Contents/Home/bin/java", "", 0755);
  EXPECT_EQ(search({{"qmk.minVersion", str("1.8")}}), *layout.pluginPath);
  EXPECT_TRUE(launcher->pluginUsed);
  EXPECT_EQ(launcher->javaMajorVersion, 8);

  // A second search starts afresh: nothing of the first choice survives.
  EXPECT_EQ(search({{"qmk.minVersion", str("9")}}), jvm + "/jdk-17.jdk");
  EXPECT_FALSE(launcher->pluginUsed);
  EXPECT_EQ(search({{"JavaVM", sequence({})}}), std::nullopt);
  EXPECT_EQ(launchVersion(), std::nullopt);
}

TEST_F(SearchTest, RelativeDirectoryEntryIsRecordedAbsolute) {
  makePlainRuntimeHome(tmp / "rt/jdk", "17.0.2");
  ScopedCurrentDirectory cwd(tmp.path());
  EXPECT_EQ(search({{"JavaVM", sequence({"Rrt/jdk"})}}), tmp / "rt/jdk");
}

TEST_F(SearchTest, LinuxLayoutFindsAPlainHomeThroughJavaHome) {
  layout = layoutUnder(tmp.path(), platform::SystemLayout::forLinux());
  makePlainRuntimeHome(tmp / "jdk", "17.0.15");
  ScopedEnv javaHome("JAVA_HOME", tmp / "jdk");
  EXPECT_EQ(search({{"JavaVM", sequence({"EJAVA_HOME"})}}), tmp / "jdk");
  EXPECT_EQ(launchVersion(), "17.0.15");
  EXPECT_EQ(launcher->javaMajorVersion, 17);
}

// The machine's own runtimes, as a user without any configuration has them.
TEST_F(SearchTest, MachineRuntimesNewestAcceptableIsChosen) {
  const std::string machineJvm = "/usr/lib/jvm";
  // The newest runtime by its release file, read independently of the launcher: the version
  // as a list of numbers.
  auto numbers = [](const std::string& version) {
    std::vector<long> out;
    long current = -1;
    for (char c : version + ".") {
      if (std::isdigit(static_cast<unsigned char>(c))) {
        current = (current < 0 ? 0 : current * 10) + (c - '0');
      } else if (current >= 0) {
        out.push_back(current);
        current = -1;
      }
    }
    return out;
  };
  std::map<std::string, std::vector<long>> runtimes;  // real path -> version
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(machineJvm, ec)) {
    std::ifstream release(entry.path() / "release");
    if (!fs::exists(entry.path() / "bin/java") || !release) continue;
    for (std::string line; std::getline(release, line);) {
      if (line.starts_with("JAVA_VERSION=")) {
        runtimes[fs::canonical(entry.path()).string()] = numbers(line.substr(13));
      }
    }
  }
  if (runtimes.empty()) GTEST_SKIP() << "no runtime installed in " << machineJvm;

  auto newestWithin = [&](std::optional<long> maxMajor) -> OptionalString {
    OptionalString best;
    for (const auto& [path, version] : runtimes) {
      if (version.empty() || (maxMajor && version[0] > *maxMajor)) continue;
      if (!best || version > runtimes[*best]) best = path;
    }
    return best;
  };

  layout = platform::SystemLayout::forLinux();
  ASSERT_EQ(layout.publicRuntimeDirectory, machineJvm);
  OptionalString chosen = search({});
  ASSERT_TRUE(chosen);
  EXPECT_EQ(fs::canonical(*chosen).string(), newestWithin(std::nullopt));

  if (OptionalString seventeen = newestWithin(17); seventeen && runtimes[*seventeen][0] == 17) {
    chosen = search({{"qmk.maxVersion", str("17")}});
    ASSERT_TRUE(chosen);
    EXPECT_EQ(fs::canonical(*chosen).string(), *seventeen);
    EXPECT_EQ(launcher->javaMajorVersion, 17);
  }
}

// --- Installation registry ------------------------------------------------------------------

TEST_F(SearchTest, RegistryTriesEachDirectoryInOrderIncludingTheEmptyPiece) {
  std::string one = tmp / "one", two = tmp / "two", three = tmp / "three";
  makeRuntimeBundle(one + "/.quillmark/jre.bundle", "1.6.0_65");  // below the minimum
  makeDirectories(two + "/.quillmark/jre");
  writeFile(two + "/.quillmark/jre/quillmark_jre_version", "1.7.0_80");  // below it too
  makeDirectories(three + "/.quillmark/jre");
  writeFile(three + "/.quillmark/jre/quillmark_jre_version", "11.0.2\n");
  writeRegistry({{std::string("allinstdirs") + kAppId, str(one + ";" + two + ";" + three + ";")}});
  std::map<std::string, plist::Value> info{{"qmk.appId", str(kAppId)},
                                           {"qmk.minVersion", str("1.8")}};

  EXPECT_EQ(search(info, true), three + "/.quillmark/jre");
  EXPECT_EQ(launchVersion(), "11.0.2\n") << "the version file is used exactly as read";
  EXPECT_FALSE(launcher->javaBundle);
  EXPECT_EQ(launcher->javaMajorVersion, 11);

  // With the third refused too, the trailing empty piece is tried at the root and finds nothing.
  writeFile(three + "/.quillmark/jre/quillmark_jre_version", "1.7");
  EXPECT_EQ(search(info, true), std::nullopt);
  EXPECT_FALSE(launcher->javaBundlePath);
}

TEST_F(SearchTest, RegistryBundleNameNamesTheApplicationInTheDirectory) {
  std::string one = tmp / "one", two = tmp / "two", three = tmp / "three";
  makeDirectories(one + "/Old.app/Contents");               // neither Resources nor PlugIns runtime
  makeRuntimeBundle(one + "/.quillmark/jre.bundle", "17");  // not looked at: a name is given
  makeRuntimeBundle(two + "/My.app/Contents/PlugIns/jre.bundle", "11.0.2");
  makeRuntimeBundle(three + "/My.app/Contents/Resources/jre.bundle", "17.0.1");
  writeRegistry({{std::string("allinstdirs") + kAppId, str(one + ";" + two + ";" + three)},
                 {std::string("singleBundleName") + kAppId + "_" + one, str("Old.app")},
                 {std::string("singleBundleName") + kAppId + "_" + two, str("My.app")},
                 {std::string("singleBundleName") + kAppId + "_" + three, str("My.app")}});
  std::map<std::string, plist::Value> info{{"qmk.appId", str(kAppId)}};
  EXPECT_EQ(search(info, true), two + "/My.app/Contents/PlugIns/jre.bundle");
  EXPECT_TRUE(launcher->javaBundle);

  info["qmk.minVersion"] = str("12");
  EXPECT_EQ(search(info, true), three + "/My.app/Contents/Resources/jre.bundle");
}

TEST_F(SearchTest, RegistryPlainDirectoryNeedsAReadableVersionFile) {
  std::string one = tmp / "one", two = tmp / "two", three = tmp / "three", four = tmp / "four";
  makeDirectories(one + "/.quillmark/jre/quillmark_jre_version");  // a directory, not a file
  makeDirectories(two + "/.quillmark/jre");
  writeFile(two + "/.quillmark/jre/quillmark_jre_version", "1\xff\xfe");  // not UTF-8
  makeDirectories(three + "/.quillmark/jre");                             // no version file
  makeDirectories(four + "/.quillmark/jre");
  writeFile(four + "/.quillmark/jre/quillmark_jre_version", "17.0.1+12");
  writeRegistry(
      {{std::string("allinstdirs") + kAppId, str(one + ";" + two + ";" + three + ";" + four)}});
  EXPECT_EQ(search({{"qmk.appId", str(kAppId)}, {"qmk.vmIdPrefix", str("com.nobody")}}, true),
            four + "/.quillmark/jre")
      << "the identifier prefix does not apply to a plain directory";
  EXPECT_EQ(launchVersion(), "17.0.1");
}

TEST_F(SearchTest, RegistryModeNeedsAnAppIdAndADictionary) {
  std::string one = tmp / "one";
  makeRuntimeBundle(one + "/.quillmark/jre.bundle", "11");
  // A shipped runtime and the standard locations are not consulted in registry mode.
  makeShippedBundle(tmp / "App.app/Contents/Resources/jre.bundle", "17");
  makeRuntimeBundle(jvm + "/jdk-17.jdk", "17");

  EXPECT_EQ(search({{"qmk.appId", str(kAppId)}}, true), std::nullopt) << "no registry";
  writeRegistry({{std::string("allinstdirs") + kAppId, str(one)}});
  EXPECT_EQ(search({}, true), std::nullopt) << "no app id";
  EXPECT_EQ(search({{"qmk.appId", str("other.app")}}, true), std::nullopt) << "no entry";
  EXPECT_EQ(search({{"qmk.appId", str(kAppId)}}, true), one + "/.quillmark/jre.bundle");
  EXPECT_TRUE(exists(tmp / "App.app/Contents/Resources/jre.bundle/Contents/Home/lib/rt.jar.pack"))
      << "the unpacker never runs in registry mode";
}

TEST_F(SearchTest, MalformedOrMistypedRegistriesFindNothing) {
  std::map<std::string, plist::Value> info{{"qmk.appId", str(kAppId)}};
  std::string file = home + "/Library/Preferences/com.quillmark.installations.plist";
  writeFile(file, "<?xml version=\"1.0\"?><plist><dict><key>x");
  EXPECT_EQ(search(info, true), std::nullopt);
  writeFile(file, plist::toXml(dict({{"/com/quillmark/installations/", str("not a dictionary")}})));
  EXPECT_EQ(search(info, true), std::nullopt);
  writeRegistry({{std::string("allinstdirs") + kAppId, plist::Value::integer(7)}});
  EXPECT_EQ(search(info, true), std::nullopt);
  writeRegistry({{std::string("allinstdirs") + kAppId, arr({"/a", "/b"})}});
  EXPECT_EQ(search(info, true), std::nullopt);
  EXPECT_EQ(search({{"qmk.appId", plist::Value::integer(3)}}, true), std::nullopt);
}

TEST_F(SearchTest, RegistryMistypedBundleNameFallsBackToTheBaseDirectoryForms) {
  std::string one = tmp / "one";
  makeRuntimeBundle(one + "/.quillmark/jre.bundle", "11");
  writeRegistry({{std::string("allinstdirs") + kAppId, str(one)},
                 {std::string("singleBundleName") + kAppId + "_" + one, plist::Value::integer(1)}});
  EXPECT_EQ(search({{"qmk.appId", str(kAppId)}}, true), one + "/.quillmark/jre.bundle");
}

TEST_F(SearchTest, RelativeRegistryDirectoryIsRecordedAbsolute) {
  makeRuntimeBundle(tmp / "inst/.quillmark/jre.bundle", "11");
  writeRegistry({{std::string("allinstdirs") + kAppId, str("inst")}});
  ScopedCurrentDirectory cwd(tmp.path());
  EXPECT_EQ(search({{"qmk.appId", str(kAppId)}}, true), tmp / "inst/.quillmark/jre.bundle");
}

}  // namespace
