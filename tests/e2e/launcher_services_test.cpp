// The launcher services through the real programs: an application compiled against the API
// jar, put in a bundle by qmk-bundle create and started by appstub on every runtime at hand;
// the same application outside a bundle; and the user's own options file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <regex>
#include <thread>

#include "platform/plist.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr const char* kTemurin25 = "/usr/lib/jvm/temurin-25-jdk-amd64";
constexpr const char* kNativeAccess = "--enable-native-access=ALL-UNNAMED";
constexpr const char* kIdentifier = "org.example.services";

std::vector<std::string> runtimes() {
  std::vector<std::string> homes = {QMK_JAVA_HOME};
  if (fs::exists(std::string(kTemurin25) + "/bin/java")) homes.emplace_back(kTemurin25);
  return homes;
}

// The value of a "name=value" line of the probe's output; absent when it printed none.
std::optional<std::string> printed(const std::string& out, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("(^|\n)" + name + "=([^\n]*)"))) return {};
  return match[2].str();
}

// The launch vector appstub hands the runtime, from its debug lines.
std::vector<std::string> launchVector(const std::string& log) {
  std::vector<std::string> vector;
  static const std::regex arg("\\] arg ([^\n]*)");
  for (std::sregex_iterator it(log.begin(), log.end(), arg), end; it != end; ++it) {
    vector.push_back((*it)[1]);
  }
  return vector;
}

class LauncherServicesTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    auto jar = run({GetParam() + "/bin/jar", "--create", "--file", tmp / "probe.jar", "-C",
                    QMK_API_CLASSES, "."});
    ASSERT_EQ(jar.status, 0) << jar.err;
  }

  // A bundle made by qmk-bundle create with `flags`; its Info.plist then gets `extra` keys.
  std::string create(const std::vector<std::string>& flags,
                     const std::map<std::string, plist::Value>& extra = {}) {
    const std::string app = tmp / "Services.app";
    std::vector<std::string> command = {QMK_BUNDLE,
                                        "create",
                                        "--name",
                                        "Services",
                                        "--jar",
                                        tmp / "probe.jar",
                                        "--main-class",
                                        "ServicesProbe",
                                        "--identifier",
                                        kIdentifier,
                                        "--no-startup-cache",
                                        "--out",
                                        app,
                                        "--force"};
    command.insert(command.end(), flags.begin(), flags.end());
    RunResult made = run(command);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    // The runtime under test, rather than whichever the machine's search would choose.
    plist::Dictionary javaVM =
        *plist::readFile(app + "/Contents/Info.plist").value()["JavaVM"].asDictionary();
    javaVM["SearchSequence"] = arr({"EQMK_TEST_JDK"});
    std::map<std::string, plist::Value> keys = extra;
    keys["JavaVM"] = plist::Value::dictionary(javaVM);
    setKeys(app, keys);
    return app;
  }

  static void setKeys(const std::string& app, const std::map<std::string, plist::Value>& keys) {
    plist::Value info = plist::readFile(app + "/Contents/Info.plist").value();
    plist::Dictionary entries = *info.asDictionary();
    for (const auto& [key, value] : keys) {
      if (value.isNull()) {
        entries.erase(key);
      } else {
        entries[key] = value;
      }
    }
    writeFile(app + "/Contents/Info.plist", plist::toXml(plist::Value::dictionary(entries)));
  }

  RunResult start(const std::string& app, const std::vector<std::string>& args, bool log = false) {
    std::vector<std::string> argv = {app + "/Contents/MacOS/Services"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "",
               {{"QMK_TEST_JDK", GetParam()},
                {"XDG_CONFIG_HOME", tmp / "config"},
                {"XDG_CACHE_HOME", tmp / "cache"},
                {"QUILLMARK_LOG", log ? std::optional<std::string>("yes") : std::nullopt}});
  }

  bool warns() const { return GetParam() == kTemurin25; }

  TempDir tmp;
};

TEST_P(LauncherServicesTest, OutsideABundleTheApiIsUnavailableAndRestartOnlyExits) {
  RunResult r = run({GetParam() + "/bin/java", "-cp", tmp / "probe.jar" + ":" + QMK_LAUNCHER_JAR,
                     "ServicesProbe", "restart"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(printed(r.out, "available"), "false") << r.out;
  EXPECT_EQ(printed(r.out, "bundlePath"), "null");
  EXPECT_EQ(printed(r.out, "version"), "null");
  EXPECT_EQ(r.out.find("restart returned"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_P(LauncherServicesTest, ABundleWithTheApiAnswersWithoutWarningLines) {
  // Each flag turns the services on; --single-instance brings the jar with it.
  for (const auto& flags :
       std::vector<std::vector<std::string>>{{"--launcher-api"},
                                             {"--single-instance"},
                                             {"--launcher-api", "--restart-exit-code", "9"}}) {
    const std::string app = create(flags, {{"CFBundleShortVersionString", str("2.5.1")}});
    EXPECT_TRUE(fs::is_regular_file(app + "/Contents/Java/quillmark-launcher.jar"));
    RunResult r = start(app, {"exit=4"});
    EXPECT_EQ(r.status, 4) << flags[0] << r.err;
    EXPECT_EQ(printed(r.out, "available"), "true") << flags[0] << r.out;
    EXPECT_EQ(printed(r.out, "bundlePath"), fs::canonical(app).string()) << r.out;
    EXPECT_EQ(printed(r.out, "version"), "2.5.1") << r.out;
    EXPECT_EQ(r.err, "") << flags[0];
  }
}

TEST_P(LauncherServicesTest, WithTheKeysOffTheNativesDoNotBindAndTheVectorIsUnchanged) {
  const std::string app = create({"--launcher-api"});
  const auto on = launchVector(start(app, {}, true).err);
  // The application still ships the jar, but the bundle asks for no service.
  setKeys(app, {{"qmk.launcherServices", plist::Value()}});
  RunResult off = start(app, {}, true);
  EXPECT_EQ(off.status, 0) << off.err;
  EXPECT_EQ(printed(off.out, "available"), "false") << off.out;
  EXPECT_EQ(off.err.find("WARNING"), std::string::npos) << off.err;
  std::vector<std::string> expected = launchVector(off.err);
  ASSERT_FALSE(expected.empty()) << off.err;
  EXPECT_EQ(std::count(expected.begin(), expected.end(), kNativeAccess), 0);
  // Only runtimes that would warn get the option, and nothing else changes.
  if (warns()) expected.insert(expected.end() - 2, kNativeAccess);
  EXPECT_EQ(on, expected);
  // Set to false, the key is off as well.
  setKeys(app, {{"qmk.launcherServices", plist::Value::boolean(false)}});
  EXPECT_EQ(printed(start(app, {}).out, "available"), "false");
}

TEST_P(LauncherServicesTest, TheUsersOptionsFileComesLastAndOnlyWhenAllowed) {
  constexpr int64_t kMiB = 1024 * 1024;
  // The application ships the API jar itself; no service is on.
  const std::string app =
      create({"--jar", QMK_LAUNCHER_JAR, "--user-options", "--vm-option", "-Xmx100m"});
  const std::string folder = tmp / "config/" + kIdentifier;
  writeFile(folder + "/Services.vmoptions",
            "# raised by the user\n-include-options more.vmoptions\n");
  writeFile(folder + "/more.vmoptions", "-Xmx200m\n");
  auto heap = [&] { return std::stoll(printed(start(app, {}).out, "maxMemory").value_or("0")); };

  const int64_t raised = heap();
  EXPECT_GT(raised, 150 * kMiB);
  EXPECT_LE(raised, 200 * kMiB);
  RunResult check = run({QMK_BUNDLE, "check", app}, "",
                        {{"XDG_CONFIG_HOME", tmp / "config"}, {"QMK_TEST_JDK", GetParam()}});
  EXPECT_NE(check.out.find("user options: " + folder + "/Services.vmoptions: adds -Xmx200m\n"),
            std::string::npos)
      << check.out;

  setKeys(app, {{"qmk.userOptions", plist::Value()}});
  EXPECT_LE(heap(), 100 * kMiB);
  check = run({QMK_BUNDLE, "check", app}, "",
              {{"XDG_CONFIG_HOME", tmp / "config"}, {"QMK_TEST_JDK", GetParam()}});
  EXPECT_NE(check.out.find("user options: off"), std::string::npos) << check.out;

  setKeys(app, {{"qmk.userOptions", plist::Value::boolean(true)}});
  fs::remove_all(folder);
  EXPECT_LE(heap(), 100 * kMiB);
  check = run({QMK_BUNDLE, "check", app}, "",
              {{"XDG_CONFIG_HOME", tmp / "config"}, {"QMK_TEST_JDK", GetParam()}});
  EXPECT_NE(check.out.find("user options: " + folder + "/Services.vmoptions: not there"),
            std::string::npos)
      << check.out;
}

TEST_P(LauncherServicesTest, AStagedUpdateIsReportedAndRestartToUpdateStartsIt) {
  RunResult key = run({QMK_BUNDLE, "keygen", "--out", tmp / "update.key"});
  ASSERT_EQ(key.status, 0) << key.err;
  std::string publicKey = key.out.substr(0, key.out.find('\n'));
  const std::string app = create({"--launcher-api", "--version", "1.0", "--update-url",
                                  "http://127.0.0.1:9/update.json", "--update-key", publicKey});
  const std::string flag = tmp / "go";
  std::vector<std::string> argv = {app + "/Contents/MacOS/Services", "waitFor=" + flag,
                                    "updateReady", "restartToUpdateIfReady"};
  RunResult r;
  std::thread started([&] {
    r = run(argv, "", {{"QMK_TEST_JDK", GetParam()}, {"XDG_STATE_HOME", tmp / "state"},
                       {"XDG_CACHE_HOME", tmp / "cache"}});
  });
  // Staged while the application runs, as the checker stages it; a start would take it first.
  for (int i = 0; i < 3000 && !fs::exists(flag + ".waiting"); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string staged = tmp / ".Services.app.update";
  fs::copy(app, staged, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  setKeys(staged, {{"CFBundleShortVersionString", plist::Value::string("2.0")}});
  writeFile(flag, "");
  started.join();

  EXPECT_EQ(r.status, 0) << r.err;
  // The first run sees 2.0 staged and restarts into it; the second runs 2.0 with nothing staged.
  EXPECT_NE(r.out.find("version=1.0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("updateReady=2.0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("version=2.0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("updateReady=null\n"), std::string::npos) << r.out;
  EXPECT_LT(r.out.find("updateReady=2.0"), r.out.find("version=2.0")) << r.out;
  EXPECT_EQ(plist::readFile(tmp / ".Services.app.previous/Contents/Info.plist")
                .value()["CFBundleShortVersionString"].stringValue(),
            "1.0");
}

INSTANTIATE_TEST_SUITE_P(Runtimes, LauncherServicesTest, ::testing::ValuesIn(runtimes()),
                         [](const auto& info) {
                           return info.param == kTemurin25 ? std::string("Temurin25")
                                                           : "Jdk" + std::to_string(info.index);
                         });

// What qmk-bundle create writes for each flag, and the statuses it refuses.
TEST(LauncherServicesCreate, FlagsWriteTheirKeysAndABadRestartStatusIsAUsageError) {
  TempDir tmp;
  auto jar = run({std::string(QMK_JAVA_HOME) + "/bin/jar", "--create", "--file", tmp / "p.jar",
                  "-C", QMK_API_CLASSES, "."});
  ASSERT_EQ(jar.status, 0) << jar.err;
  auto create = [&](const std::vector<std::string>& flags) {
    std::vector<std::string> command = {QMK_BUNDLE, "create",      "--name",       "P",
                                        "--jar",    tmp / "p.jar", "--main-class", "ServicesProbe",
                                        "--out",    tmp / "P.app", "--force"};
    command.insert(command.end(), flags.begin(), flags.end());
    return run(command);
  };
  for (const char* bad : {"0", "256", "-1", "nine", "9x", ""}) {
    RunResult r = create({"--restart-exit-code", bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("from 1 to 255"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(tmp / "P.app")) << bad;
  }
  ASSERT_EQ(create({"--single-instance", "--restart-exit-code", "255", "--user-options"}).status,
            0);
  plist::Value info = plist::readFile(tmp / "P.app/Contents/Info.plist").value();
  EXPECT_TRUE(info["qmk.singleInstance"].boolValue());
  EXPECT_TRUE(info["qmk.launcherServices"].boolValue());
  EXPECT_TRUE(info["qmk.userOptions"].boolValue());
  EXPECT_EQ(info["qmk.restartExitCode"].asInteger(), 255);
  EXPECT_EQ(info["JavaVM"]["ClassPath"].stringValue(),
            "$APP_PACKAGE/Contents/Java/p.jar:$APP_PACKAGE/Contents/Java/quillmark-launcher.jar");
  RunResult check = run({QMK_BUNDLE, "check", tmp / "P.app"});
  EXPECT_NE(check.out.find("restart: on status 255: "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("single instance: on: "), std::string::npos) << check.out;

  ASSERT_EQ(create({}).status, 0);
  info = plist::readFile(tmp / "P.app/Contents/Info.plist").value();
  for (const char* key :
       {"qmk.singleInstance", "qmk.launcherServices", "qmk.userOptions", "qmk.restartExitCode"}) {
    EXPECT_TRUE(info[key].isNull()) << key;
  }
  EXPECT_FALSE(fs::exists(tmp / "P.app/Contents/Java/quillmark-launcher.jar"));
}

// appstub exports the natives; the installer exports nothing of the kind.
TEST(LauncherServicesExports, OnlyAppstubExportsTheNatives) {
  for (const auto& [program, exported] :
       std::vector<std::pair<std::string, bool>>{{QMK_APPSTUB, true}, {QMK_SETUPSTUB, false}}) {
    RunResult symbols = run({"/usr/bin/readelf", "--dyn-syms", "-W", program});
    ASSERT_EQ(symbols.status, 0) << symbols.err;
    for (const char* name : {" JNI_OnLoad_quillmark\n",
                             " Java_com_quillmark_launcher_LauncherServices_nextOpenRequest0\n",
                             " Java_com_quillmark_launcher_LauncherServices_requestRestart0\n"}) {
      EXPECT_EQ(symbols.out.find(name) != std::string::npos, exported) << program << name;
    }
  }
}

}  // namespace
