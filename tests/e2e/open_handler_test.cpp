// The open handler and restart() of the Java API with a real single-instance application on
// every installed runtime: later starts' opens reach the handler in order with their working
// directory, also when they came before the handler was set, and an application restarted
// through the API keeps serving later starts.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/background_process.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kApiJar = std::string(QMK_LIB_DIR) + "/quillmark-launcher.jar";

std::vector<std::string> runtimes() {
  std::vector<std::string> homes = {QMK_JAVA_HOME};
  for (const char* other : {"/usr/lib/jvm/temurin-25-jdk-amd64"}) {
    if (fs::exists(std::string(other) + "/bin/java")) homes.emplace_back(other);
  }
  return homes;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    result.push_back(text.substr(start, end - start));
  }
  return result;
}

std::vector<std::string> runLines(const std::string& out) {
  std::vector<std::string> result;
  for (const auto& line : lines(out)) {
    if (line.rfind("run pid=", 0) == 0) result.push_back(line);
  }
  return result;
}

class OpenHandlerTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    bundle = makeAppBundle(
        tmp.path(), "Recorder.app",
        dict({{"CFBundleIdentifier", str("org.example.recorder")},
              {"qmk.singleInstance", plist::Value::boolean(true)},
              {"JavaVM",
               dict({{"MainClass", str("OpenRecorder")},
                     {"ClassPath", str("$APP_PACKAGE/Contents/Java/*")},
                     {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}}));
    program = bundle + "/Contents/MacOS/Recorder";
    fs::copy_file(QMK_APPSTUB, program);
    fs::permissions(program, fs::perms::owner_all);
    const std::string java = bundle + "/Contents/Java";
    makeDirectories(java);
    fs::copy_file(kApiJar, java + "/quillmark-launcher.jar");
    auto compiled = run({GetParam() + "/bin/javac", "--release", "8", "-Xlint:-options", "-cp",
                         kApiJar, "-d", tmp / "classes",
                         std::string(QMK_FIXTURES_DIR) + "/java-api/OpenRecorder.java"});
    ASSERT_EQ(compiled.status, 0) << compiled.err;
    auto jar = run({GetParam() + "/bin/jar", "--create", "--file", java + "/app.jar", "-C",
                    tmp / "classes", "."});
    ASSERT_EQ(jar.status, 0) << jar.err;
    makeDirectories(tmp / "run");
    chmod((tmp / "run").c_str(), 0700);
    makeDirectories(tmp / "work");
    socket = tmp / "run/quillmark/org.example.recorder.socket";
    records = tmp / "records";
  }

  std::map<std::string, std::optional<std::string>> env() {
    return {{"QMK_TEST_JDK", GetParam()}, {"XDG_RUNTIME_DIR", tmp / "run"}};
  }

  RunResult laterStart(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", env(), tmp / "work");
  }

  bool recorded(size_t count) {
    return eventually([&] { return exists(records) && lines(readFile(records)).size() >= count; });
  }

  TempDir tmp;
  std::string bundle;
  std::string program;
  std::string socket;
  std::string records;
};

void expectNoRuntimeWarnings(const std::string& err) {
  EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
  EXPECT_EQ(err.find("[warning]"), std::string::npos) << err;
}

TEST_P(OpenHandlerTest, OpensReachTheHandlerInOrderWithTheirWorkingDirectory) {
  BackgroundProcess instance({program, "record=" + records, "delay=1500"}, tmp / "instance",
                             env());
  ASSERT_TRUE(eventually([&] { return exists(socket); })) << instance.err();
  // Handed over while the application has not set its handler yet.
  RunResult early = laterStart({"docs/early.txt", "two words", ""});
  EXPECT_EQ(early.status, 0) << early.err;
  EXPECT_EQ(early.out, "");
  EXPECT_EQ(instance.out().find("handler set"), std::string::npos)
      << "the handler was set before the first open arrived";
  ASSERT_TRUE(eventually([&] { return instance.out().find("handler set") != std::string::npos; }))
      << instance.err();
  for (int i = 0; i < 10; i++) {
    RunResult burst = laterStart({"n=" + std::to_string(i)});
    EXPECT_EQ(burst.status, 0) << burst.err;
  }
  ASSERT_TRUE(recorded(11)) << (exists(records) ? readFile(records) : "") << instance.err();
  std::vector<std::string> expected = {tmp / "work" + "\tdocs/early.txt\ttwo words\t"};
  for (int i = 0; i < 10; i++) expected.push_back(tmp / "work" + "\tn=" + std::to_string(i));
  EXPECT_EQ(lines(readFile(records)), expected);
  instance.closeInput();
  ASSERT_EQ(instance.wait(), 0) << instance.err();
  EXPECT_EQ(runLines(instance.out()).size(), 1u) << instance.out();
  EXPECT_EQ(instance.err(), "");
  expectNoRuntimeWarnings(instance.err());
}

TEST_P(OpenHandlerTest, RestartFromTheApiComesBackInTheSameProcessAndKeepsServing) {
  const std::string marker = tmp / "restarted";
  BackgroundProcess instance({program, "record=" + records, "restart-once=" + marker, "x y"},
                             tmp / "instance", env());
  ASSERT_TRUE(eventually([&] { return instance.out().find("handler set") != std::string::npos; }))
      << instance.out() << instance.err();
  auto runs = runLines(instance.out());
  ASSERT_EQ(runs.size(), 2u) << instance.out();
  EXPECT_EQ(runs[0], runs[1]) << "another pid or other arguments after the restart";
  RunResult later = laterStart({"after restart"});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(later.out, "");
  ASSERT_TRUE(recorded(1)) << instance.err();
  EXPECT_EQ(lines(readFile(records)), std::vector<std::string>{tmp / "work" + "\tafter restart"});
  instance.closeInput();
  ASSERT_EQ(instance.wait(), 0) << instance.err();
  EXPECT_EQ(instance.err(), "");
  expectNoRuntimeWarnings(instance.err());
  EXPECT_FALSE(exists(socket));
}

INSTANTIATE_TEST_SUITE_P(Runtimes, OpenHandlerTest, ::testing::ValuesIn(runtimes()),
                         [](const auto& info) {
                           return fs::path(info.param).filename().string() == "temurin-25-jdk-amd64"
                                      ? std::string("Temurin25")
                                      : "Jdk" + std::to_string(info.index);
                         });

}  // namespace
