// appstub as a real process: the argument-file road with the real JDK, its exit status, "@"
// expansion by the real runtime library, the re-executed start, and the exported symbols.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kJdk = QMK_JAVA_HOME;

// The runtime homes installed on the machine (the JDK under test among them).
std::vector<std::string> installedRuntimes() {
  std::vector<std::string> homes;
  for (const auto& e : std::filesystem::directory_iterator("/usr/lib/jvm")) {
    if (e.is_symlink() || !std::filesystem::exists(e.path() / "lib/libjli.so")) continue;
    homes.push_back(e.path().string());
  }
  return homes;
}

// A server library directory of another runtime than `runtime` (its own when there is no
// other): named in LD_LIBRARY_PATH it makes the runtime library re-execute.
std::string otherServerLibrary(const std::string& runtime = kJdk) {
  for (const std::string& home : installedRuntimes()) {
    std::string server = home + "/lib/server";
    if (std::filesystem::exists(server + "/libjvm.so") &&
        std::filesystem::canonical(home) != std::filesystem::canonical(runtime)) {
      return server;
    }
  }
  return runtime + "/lib/server";
}

class AppstubTest : public ::testing::Test {
 protected:
  // Writes an argument file for the JDK under test running the probe with `vmOptions` and
  // `args`, and starts appstub on it.
  RunResult runProbe(const std::vector<std::string>& vmOptions,
                     const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env = {},
                     const std::string& runtime = kJdk,
                     const std::string& program = QMK_APPSTUB) {
    std::string content = runtime + "\n";
    for (const auto& o : vmOptions) content += o + "\n";
    content += "-cp\n" QMK_JAVA_CLASSES "\nProbe";
    for (const auto& a : args) content += "\n" + a;
    writeFile(argumentFile, content);
    return run({program, "__qmk_invoke_other", argumentFile}, "", env);
  }
  // Starts appstub on a runtime whose launcher library is the test library, handed
  // "-Dx=1 a.Main arg"; the library records what it did, steered by `env`.
  RunResult runFakeRuntime(std::map<std::string, std::optional<std::string>> env) {
    const std::string runtime = tmp / "fake";
    makeDirectories(runtime + "/lib");
    std::filesystem::create_symlink(QMK_FAKE_JLI, runtime + "/lib/libjli.so");
    writeFile(argumentFile, runtime + "\n-Dx=1\na.Main\narg");
    env["FAKE_JLI_RECORD"] = record;
    return run({QMK_APPSTUB, "__qmk_invoke_other", argumentFile}, "", env);
  }
  TempDir tmp;
  std::string argumentFile = tmp / "args";
  std::string record = tmp / "record";
};

TEST_F(AppstubTest, TheVectorArrivesVerbatimAndSystemExitIsTheStatus) {
  auto r = runProbe({"-Dprobe.props=qmk.x", "-Dqmk.x=a b"}, {"hello world", "", "exit=7"});
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_NE(r.out.find("arg[0]=hello world\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("arg[1]=\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("prop:qmk.x=a b\n"), std::string::npos) << r.out;
  EXPECT_FALSE(exists(argumentFile));
}

TEST_F(AppstubTest, AMainThatReturnsGivesZero) {
  auto r = runProbe({}, {"return"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("arg[0]=return"), std::string::npos);
}

TEST_F(AppstubTest, AtFilesBeforeTheMainClassAreExpandedButApplicationArgumentsAreNot) {
  writeFile(tmp / "opts", "-Dprobe.props=from.file -Dfrom.file=yes");
  auto r = runProbe({"@" + tmp / "opts"}, {"@notes", "exit=3"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("prop:from.file=yes"), std::string::npos) << r.out;
  // No file "notes" exists: the application still gets its argument as written.
  EXPECT_NE(r.out.find("arg[0]=@notes"), std::string::npos) << r.out;
}

TEST_F(AppstubTest, EveryInstalledRuntimeRunsTheProbe) {
  int tried = 0;
  for (const std::string& home : installedRuntimes()) {
    tried++;
    auto r = runProbe({}, {"in " + home, "exit=21"}, {}, home);
    EXPECT_EQ(r.status, 21) << home << r.err;
    EXPECT_NE(r.out.find("arg[0]=in " + home + "\n"), std::string::npos) << home << r.out;
  }
  EXPECT_GE(tried, 1);
}

TEST_F(AppstubTest, SetupstubTakesTheSameRoadWithTheMarker) {
  writeFile(argumentFile, kJdk + "\n-cp\n" QMK_JAVA_CLASSES "\nProbe\nfrom setup\nexit=8");
  auto r = run({QMK_SETUPSTUB, "__qmk_invoke_other", argumentFile});
  EXPECT_EQ(r.status, 8) << r.err;
  EXPECT_NE(r.out.find("arg[0]=from setup\n"), std::string::npos) << r.out;
  EXPECT_FALSE(exists(argumentFile));
}

TEST_F(AppstubTest, CarriageReturnLinesCannotLoadTheRuntime) {
  writeFile(argumentFile, kJdk + "\r\n-cp\r\n" QMK_JAVA_CLASSES "\r\nProbe\r\n");
  auto r = run({QMK_APPSTUB, "__qmk_invoke_other", argumentFile});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Could not load JRE."), std::string::npos) << r.err;
  EXPECT_FALSE(exists(argumentFile));
}

TEST_F(AppstubTest, AnArgumentFileWithoutARuntimeLineEndsWithStatusOne) {
  writeFile(argumentFile, "just one line");
  auto r = run({QMK_APPSTUB, "__qmk_invoke_other", argumentFile});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists(argumentFile));
}

TEST_F(AppstubTest, BothProgramsResumeAReexecutedStartWithTheArgumentFilesVector) {
  // Naming another runtime's server library in LD_LIBRARY_PATH makes the runtime library
  // re-execute the program with the vector it was handed; the re-executed program must hand
  // it straight back, whichever program and runtime.
  int tried = 0;
  for (const char* program : {QMK_APPSTUB, QMK_SETUPSTUB}) {
    for (const std::string& runtime : installedRuntimes()) {
      SCOPED_TRACE(std::string(program) + " on " + runtime);
      tried++;
      auto r = runProbe({"-Dprobe.props=qmk.r,qmk.jreBundle", "-Dqmk.r=1"}, {"one", "exit=9"},
                        {{"LD_LIBRARY_PATH", otherServerLibrary(runtime)},
                         {"QUILLMARK_LOG", "yes"},
                         {"DISPLAY", std::nullopt},
                         {"HOME", tmp.path()}},
                        runtime, program);
      EXPECT_EQ(r.status, 9) << r.err;
      EXPECT_NE(r.err.find("resuming launch"), std::string::npos) << "no re-exec happened" << r.err;
      EXPECT_NE(r.out.find("arg[0]=one\narg[1]=exit=9\nprop:"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("prop:qmk.r=1"), std::string::npos) << r.out;
      // Nothing added, nothing of the launcher's own left in the environment.
      EXPECT_NE(r.out.find("prop:qmk.jreBundle=null"), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("env:QMK_"), std::string::npos) << r.out;
      // The program ran once, in the runtime of the argument file, and no installer started.
      EXPECT_EQ(r.out.find("arg[0]=one", r.out.find("arg[0]=one") + 1), std::string::npos)
          << r.out;
      EXPECT_EQ(r.err.find("app will finish launching"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("worker started"), std::string::npos) << r.err;
    }
  }
  EXPECT_GE(tried, 2);
}

TEST_F(AppstubTest, TheApplicationSeesNoneOfTheLaunchersMarkers) {
  struct Case {
    const char* name;
    std::optional<std::string> libraryPath;
    bool resumed;
  };
  const Case cases[] = {{"plain start", std::nullopt, false},
                        {"re-executed start", otherServerLibrary(), true}};
  for (const Case& c : cases) {
    auto r =
        runProbe({}, {"exit=5"}, {{"LD_LIBRARY_PATH", c.libraryPath}, {"QUILLMARK_LOG", "yes"}});
    EXPECT_EQ(r.status, 5) << c.name << r.err;
    EXPECT_NE(r.out.find("env:LANG="), std::string::npos) << c.name << r.out;
    EXPECT_EQ(r.out.find("env:QMK_"), std::string::npos) << c.name << r.out;
    EXPECT_EQ(r.err.find("resuming launch") != std::string::npos, c.resumed) << c.name << r.err;
  }
}

TEST_F(AppstubTest, ARuntimeThatEntersMainAgainIsHandedTheVectorBack) {
  auto r = runFakeRuntime({{"FAKE_JLI_REENTER", "1"}, {"FAKE_JLI_STATUS", "4"}});
  EXPECT_EQ(r.status, 4) << r.err;
  std::string rec = readFile(record);
  EXPECT_NE(rec.find("launch pid="), std::string::npos);
  EXPECT_NE(rec.find("thread=reentry"), std::string::npos) << rec;
  EXPECT_NE(rec.find("reentry returned 4"), std::string::npos) << rec;
}

TEST_F(AppstubTest, AFakeReexecResumesWithTheSameLibrary) {
  // A real runtime library re-executes only to change an LD_LIBRARY_PATH that is set.
  auto r = runFakeRuntime(
      {{"FAKE_JLI_REEXEC", "1"}, {"FAKE_JLI_STATUS", "6"}, {"LD_LIBRARY_PATH", tmp.path()}});
  EXPECT_EQ(r.status, 6) << r.err;
  std::string rec = readFile(record);
  // The second run got the launch vector, not a new launch with it as application arguments.
  size_t second = rec.find("launch pid=", rec.find("reexec"));
  ASSERT_NE(second, std::string::npos) << rec;
  EXPECT_NE(rec.find("argc=4\narg=" QMK_APPSTUB "\narg=-Dx=1\narg=a.Main\narg=arg", second),
            std::string::npos)
      << rec;
}

TEST_F(AppstubTest, TheEntrySignsTheInvokeOtherLine) {
  auto r = runFakeRuntime({{"QUILLMARK_LOG", "yes"}});
  EXPECT_NE(r.err.find("] int launcher_main(int, char**) [Line "), std::string::npos) << r.err;
  size_t line = r.err.find("] invoke other " + argumentFile + "\n");
  ASSERT_NE(line, std::string::npos) << r.err;
  size_t start = r.err.rfind('\n', line) + 1;
  EXPECT_NE(r.err.substr(start, line - start).find("] int launcher_main(int, char**) [Line "),
            std::string::npos)
      << r.err.substr(start, line - start);
}

std::string exportedSymbols(const std::string& binary) {
  auto r = run({"/usr/bin/nm", "-D", "--defined-only", binary});
  return r.out;
}

TEST(Exports, AppstubExportsItsEntryPointsWithCNames) {
  std::string syms = exportedSymbols(QMK_APPSTUB);
  for (const char* name : {" main\n", " launcher_main\n", " _DLog\n", " JLI_LaunchFxnPtr\n",
                           " launchJavaVersion\n", " argc\n", " argv\n"}) {
    EXPECT_NE(syms.find(name), std::string::npos) << name << syms;
  }
}

// The classes' members, by their mangled prefixes: _ZN8Launcher... and _ZN8Unpacker...
constexpr const char* kClassPrefixes[] = {" _ZN8Launcher", " _ZN8Unpacker"};

TEST(Exports, AppstubExportsTheLauncherAndUnpackerClasses) {
  std::string syms = exportedSymbols(QMK_APPSTUB);
  for (const char* prefix : kClassPrefixes) {
    EXPECT_NE(syms.find(prefix), std::string::npos) << prefix << syms;
  }
  // The members the launch goes through, among them.
  for (const char* member : {"_ZN8Launcher6launchEv", "_ZN8Launcher14findJavaBundleB5cxx11Eb"}) {
    EXPECT_NE(syms.find(member), std::string::npos) << member;
  }
}

TEST(Exports, SetupstubExportsNoneOfThem) {
  std::string syms = exportedSymbols(QMK_SETUPSTUB);
  for (const char* name : {" main\n", " launcher_main\n", " _DLog\n", " JLI_LaunchFxnPtr\n",
                           " launchJavaVersion\n", " argc\n", " argv\n"}) {
    EXPECT_EQ(syms.find(name), std::string::npos) << name;
  }
  for (const char* prefix : kClassPrefixes) {
    EXPECT_EQ(syms.find(prefix), std::string::npos) << prefix;
  }
}

}  // namespace
