// The startup cache decision: when a start goes without a cache, and that it then adds nothing.
#include "launcher/startup_cache.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;

namespace {

class StartupCacheDecisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = tmp / "home";
    runtime = tmp / "jdk";
    writeFile(runtime + "/release", "JAVA_VERSION=\"17.0.15\"\n");
    writeFile(tmp / "app.jar", "jar");
    makeDirectories(tmp / "classes");
  }

  qmk::cache::CacheInputs inputs(const plist::Value& info, std::vector<std::string> vmOptions,
                                 int32_t major = 17) {
    infoValue = info;
    qmk::cache::CacheInputs in;
    in.info = &infoValue;
    in.bundlePath = tmp / "App.app";
    in.runtimeHome = runtime;
    in.javaMajorVersion = major;
    in.vmOptions = vmOptions;
    in.launchVector = vmOptions;
    in.homeDirectory = home;
    return in;
  }

  plist::Value on(plist::Value flag = plist::Value::boolean(true)) {
    return dict({{"CFBundleIdentifier", str("org.example.app")}, {"qmk.startupCache", flag}});
  }

  TempDir tmp;
  std::string home;
  std::string runtime;
  plist::Value infoValue;
};

TEST_F(StartupCacheDecisionTest, KeyOffAddsNothingAndTouchesNothing) {
  const std::vector<plist::Value> offValues = {
      plist::Value::boolean(false), str("NO"), str("0"), plist::Value::integer(0),
      arr({"YES"}), dict({{"a", str("YES")}})};
  const std::string cp = "-Djava.class.path=" + (tmp / "app.jar");
  auto absent = qmk::cache::decideStartupCache(inputs(dict({}), {cp}));
  EXPECT_TRUE(absent.options.empty());
  EXPECT_EQ(absent.reason, "off");
  for (const auto& value : offValues) {
    auto decision = qmk::cache::decideStartupCache(inputs(on(value), {cp}));
    EXPECT_TRUE(decision.options.empty()) << value.description();
    EXPECT_FALSE(decision.build);
  }
  EXPECT_FALSE(exists(home + "/.cache"));
}

TEST_F(StartupCacheDecisionTest, StartsThatCannotBeCachedGoWithout) {
  const std::string jar = tmp / "app.jar";
  struct Case {
    std::string name;
    std::vector<std::string> options;
    int32_t major;
    std::string reasonPart;
  };
  const std::vector<Case> cases = {
      {"old runtime", {"-Djava.class.path=" + jar}, 11, "keeps no application classes"},
      {"directory of classes", {"-Djava.class.path=" + jar + ":" + (tmp / "classes")}, 17,
       "is a directory of classes"},
      {"empty entry is the working directory", {"-Djava.class.path=" + jar + ":"}, 17,
       "is a directory of classes"},
      {"no class path", {"-Xmx64m"}, 17, "no class path"},
      {"module path", {"-Djava.class.path=" + jar, "-p", tmp / "mods"}, 25, "module path"},
      {"argument file", {"-Djava.class.path=" + jar, "@" + (tmp / "args")}, 17, "argument file"},
      {"own sharing options", {"-Djava.class.path=" + jar, "-Xshare:off"}, 17, "-Xshare:off"},
      {"own archive", {"-cp", jar, "-XX:SharedArchiveFile=/x.jsa"}, 19, "SharedArchiveFile"},
  };
  // Another virtual machine: not HotSpot, whatever its version.
  writeFile(runtime + "/release", "JAVA_VERSION=\"17.0.15\"\nJVM_VARIANT=\"Openj9\"\n");
  auto other = qmk::cache::decideStartupCache(inputs(on(), {"-Djava.class.path=" + jar}, 17));
  EXPECT_TRUE(other.options.empty()) << other.reason;
  EXPECT_NE(other.reason.find("virtual machine"), std::string::npos) << other.reason;
  for (const auto& c : cases) {
    writeFile(runtime + "/release", "JAVA_VERSION=\"17.0.15\"\n");
    auto decision = qmk::cache::decideStartupCache(inputs(on(), c.options, c.major));
    EXPECT_TRUE(decision.options.empty()) << c.name;
    EXPECT_FALSE(decision.build) << c.name;
    EXPECT_NE(decision.reason.find(c.reasonPart), std::string::npos)
        << c.name << ": " << decision.reason;
  }
  EXPECT_FALSE(exists(home + "/.cache"));
}

TEST_F(StartupCacheDecisionTest, AnUnwritableCacheFolderMeansNoCache) {
  // A file where the folder would be: no permission bits involved, so it holds for root too.
  writeFile(tmp / "blocked", "not a folder");
  auto in = inputs(on(), {"-Djava.class.path=" + (tmp / "app.jar")});
  in.xdgCacheHome = tmp / "blocked";
  auto decision = qmk::cache::decideStartupCache(in);
  EXPECT_TRUE(decision.options.empty());
  EXPECT_NE(decision.reason.find("cannot be created"), std::string::npos) << decision.reason;
}

TEST_F(StartupCacheDecisionTest, CreatingStartRecordsIntoAPrivateFolderOfTheApplication) {
  auto in = inputs(on(), {"-Djava.class.path=" + (tmp / "app.jar")});
  in.xdgCacheHome = tmp / "xdg";
  auto decision = qmk::cache::decideStartupCache(in);
  ASSERT_TRUE(decision.build) << decision.reason;
  const std::string folder = tmp / "xdg/quillmark/org.example.app";
  EXPECT_EQ(decision.build->directory, folder);
  EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(std::filesystem::status(decision.build->classList).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ASSERT_FALSE(decision.options.empty());
  EXPECT_EQ(decision.options[0], "-XX:DumpLoadedClassList=" + decision.build->classList);

  // Whatever makes an archive valid is in its name: a changed class-path entry, a changed
  // runtime or another vector gives another key.
  const std::string key = decision.build->key;
  writeFile(tmp / "app.jar", "jar, rebuilt");
  EXPECT_NE(qmk::cache::decideStartupCache(in).build->key, key);
  const std::string key2 = qmk::cache::decideStartupCache(in).build->key;
  writeFile(runtime + "/release", "JAVA_VERSION=\"17.0.16\"\n");
  EXPECT_NE(qmk::cache::decideStartupCache(in).build->key, key2);
  const std::string key3 = qmk::cache::decideStartupCache(in).build->key;
  in.launchVector.push_back("another argument");
  EXPECT_NE(qmk::cache::decideStartupCache(in).build->key, key3);
}

}  // namespace
