// Restart through the real appstub on every installed runtime: an application that ends with the
// bundle's restart status comes back in the same process with the same arguments, a loop of
// restarts is stopped, and a single-instance application keeps serving across a restart.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/background_process.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kRestartStatus = 9;

std::vector<std::string> runtimes() {
  std::vector<std::string> homes = {QMK_JAVA_HOME};
  for (const char* other : {"/usr/lib/jvm/temurin-25-jdk-amd64"}) {
    if (fs::exists(std::string(other) + "/bin/java")) homes.emplace_back(other);
  }
  return homes;
}

// The runtime's own warnings ("WARNING: ...", "[warning]...") must never reach the user.
void expectNoRuntimeWarnings(const std::string& err) {
  EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
  EXPECT_EQ(err.find("[warning]"), std::string::npos) << err;
}

std::vector<std::string> runLines(const std::string& out) {
  std::vector<std::string> lines;
  std::regex line("run pid=[0-9]+ args=.*");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    lines.push_back(it->str());
  }
  return lines;
}

class RestartTest : public ::testing::TestWithParam<std::string> {
 protected:
  void makeBundle(const std::string& mainClass, bool singleInstance) {
    std::map<std::string, plist::Value> info = {
        {"CFBundleIdentifier", str("org.example.restart")},
        {"qmk.restartExitCode", plist::Value::integer(kRestartStatus)},
        {"JavaVM", dict({{"MainClass", str(mainClass)},
                         {"ClassPath", str("$APP_PACKAGE/Contents/Java/app.jar")},
                         {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}};
    if (singleInstance) info["qmk.singleInstance"] = plist::Value::boolean(true);
    bundle = makeAppBundle(tmp.path(), "Restart.app", dict(info));
    program = bundle + "/Contents/MacOS/Restart";
    fs::copy_file(QMK_APPSTUB, program);
    fs::permissions(program, fs::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    auto jar = run({GetParam() + "/bin/jar", "--create", "--file",
                    bundle + "/Contents/Java/app.jar", "-C", QMK_JAVA_CLASSES, "Probe.class",
                    "-C", QMK_JAVA_CLASSES, "RestartOnce.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
    makeDirectories(tmp / "run");
    chmod((tmp / "run").c_str(), 0700);
  }

  std::map<std::string, std::optional<std::string>> env(bool log = false) {
    return {{"QMK_TEST_JDK", GetParam()},
            {"XDG_RUNTIME_DIR", tmp / "run"},
            {"QUILLMARK_LOG", log ? std::optional<std::string>("yes") : std::nullopt}};
  }

  TempDir tmp;
  std::string bundle;
  std::string program;
};

TEST_P(RestartTest, TheRestartStatusBringsTheApplicationBackInTheSameProcess) {
  makeBundle("RestartOnce", false);
  const std::string marker = tmp / "restarted";
  RunResult result =
      run({program, marker, std::to_string(kRestartStatus), "two words", ""}, "", env());
  EXPECT_EQ(result.status, 0) << result.err;
  auto lines = runLines(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_EQ(lines[0], lines[1]) << "another pid or other arguments after the restart";
  EXPECT_NE(lines[0].find("args=[" + marker + ", 9, two words, ]"), std::string::npos) << lines[0];
  // The launcher's own bookkeeping stays out of the application's environment.
  EXPECT_EQ(result.out.find("env:QMK_RESTART"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("env:QMK_RESUME"), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "");
  expectNoRuntimeWarnings(result.err);
}

TEST_P(RestartTest, AnApplicationThatAlwaysAsksIsRestartedFiveTimesAndEndsWithTheStatus) {
  makeBundle("Probe", false);
  RunResult result = run({program, "exit=9", "pid"}, "", env());
  EXPECT_EQ(result.status, kRestartStatus);
  std::regex pid("pid=[0-9]+\n");
  const auto runs = std::distance(
      std::sregex_iterator(result.out.begin(), result.out.end(), pid), std::sregex_iterator());
  EXPECT_EQ(runs, 6) << result.out;
  EXPECT_NE(result.err.find("not restarting: the application was restarted 5 times within 60 s; "
                            "it ends with status 9"),
            std::string::npos)
      << result.err;
  expectNoRuntimeWarnings(result.err);
  // Other statuses end the application as they always did.
  EXPECT_EQ(run({program, "exit=8"}, "", env()).status, 8);
}

TEST_P(RestartTest, ASingleInstanceApplicationKeepsItsSocketAcrossARestart) {
  makeBundle("RestartOnce", true);
  const std::string marker = tmp / "restarted";
  const std::string socket = tmp / "run/quillmark/org.example.restart.socket";
  BackgroundProcess instance({program, marker, std::to_string(kRestartStatus), "wait"},
                             tmp / "instance", env(true));
  ASSERT_TRUE(eventually([&] { return runLines(instance.out()).size() == 2; }))
      << instance.out() << instance.err();
  ASSERT_TRUE(exists(socket));
  RunResult later = run({program, "opened after the restart"}, "", env());
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(later.out, "");
  instance.closeInput();
  ASSERT_EQ(instance.wait(), 0);
  EXPECT_NE(instance.err().find("opened after the restart"), std::string::npos) << instance.err();
  EXPECT_EQ(instance.out().find("QMK_INSTANCE"), std::string::npos) << instance.out();
  EXPECT_FALSE(exists(socket));
}

INSTANTIATE_TEST_SUITE_P(Runtimes, RestartTest, ::testing::ValuesIn(runtimes()),
                         [](const auto& info) {
                           return fs::path(info.param).filename().string() == "temurin-25-jdk-amd64"
                                      ? std::string("Temurin25")
                                      : "Jdk" + std::to_string(info.index);
                         });

}  // namespace
