// The launch spine in process, against the test runtime library: which library is loaded, what
// JLI_Launch is handed, "@" expansion, the argument-file road and the second entry.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "platform/exception.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLaunchStateForTesting();
    app = makeAppBundle(tmp.path(), "App.app", dict({{"CFBundleName", str("App")}}));
    runtime = tmp / "runtime";
    makeDirectories(runtime + "/lib");
    // A plain runtime home whose launcher library is the test library.
    std::filesystem::create_symlink(QMK_FAKE_JLI, runtime + "/lib/libjli.so");
  }
  void TearDown() override { resetLaunchStateForTesting(); }

  Launcher makeLauncher(const platform::SystemLayout& layout = platform::SystemLayout::forLinux()) {
    return Launcher(makeContext(app, layout, {app + "/Contents/MacOS/App"}, tmp.path(), &notices));
  }

  // Installs `vector` as the launch vector for a runtime at `runtime`, launches, and returns
  // what the test library recorded.
  std::vector<std::string> launchWith(const std::vector<std::string>& vector,
                                      const char* library = QMK_FAKE_JLI, int* status = nullptr) {
    std::filesystem::remove(runtime + "/lib/libjli.so");
    std::filesystem::create_symlink(library, runtime + "/lib/libjli.so");
    Launcher launcher = makeLauncher();
    launcher.javaBundlePath = runtime;
    Launcher::installLaunchVector(vector);
    int result = launcher.launch();
    if (status) *status = result;
    return lines(readFile(record));
  }

  TempDir tmp;
  std::string app;
  std::string runtime;
  std::string record = tmp / "record.txt";
  ScopedEnv recordEnv{"FAKE_JLI_RECORD", tmp / "record.txt"};
  std::vector<Notice> notices;
};

TEST(LibraryLocation, FirstExistingLocationWinsAndTheLastIsTakenUntested) {
  struct Case {
    std::vector<std::string> present;
    std::string expected;
  } cases[] = {
      {{"Contents/Home/jre/lib/jli/libjli.dylib", "Contents/Home/lib/jli/libjli.dylib"},
       "Contents/Home/jre/lib/jli/libjli.dylib"},
      {{"Contents/Home/lib/jli/libjli.dylib", "Contents/Home/lib/libjli.dylib"},
       "Contents/Home/lib/jli/libjli.dylib"},
      {{"Contents/Home/lib/libjli.dylib"}, "Contents/Home/lib/libjli.dylib"},
      {{"lib/jli/libjli.dylib", "lib/libjli.dylib"}, "lib/jli/libjli.dylib"},
      {{"lib/libjli.dylib"}, "lib/libjli.dylib"},
      {{}, "lib/libjli.dylib"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    for (const auto& p : c.present) writeFile(tmp / ("R/" + p), "");
    std::string app = makeAppBundle(tmp.path(), "A.app", dict({}));
    Launcher launcher(makeContext(app, platform::SystemLayout::forMacOS(), {"A"}, tmp.path()));
    launcher.javaBundlePath = tmp / "R";
    EXPECT_EQ(launcher.libraryPath(), tmp / ("R/" + c.expected)) << c.expected;
  }
}

TEST(LibraryLocation, LinuxLayoutFindsTheLibraryOfARuntimeHome) {
  TempDir tmp;
  writeFile(tmp / "R/lib/libjli.so", "");
  std::string app = makeAppBundle(tmp.path(), "A.app", dict({}));
  Launcher launcher(makeContext(app, platform::SystemLayout::forLinux(), {"A"}, tmp.path()));
  launcher.javaBundlePath = tmp / "R";
  EXPECT_EQ(launcher.libraryPath(), tmp / "R/lib/libjli.so");
}

TEST(LibraryLocation, PluginUsesItsFixedLibraryWhateverThePath) {
  TempDir tmp;
  writeFile(tmp / "R/Contents/Home/lib/jli/libjli.dylib", "");
  std::string app = makeAppBundle(tmp.path(), "A.app", dict({}));
  auto layout = layoutUnder(tmp.path(), platform::SystemLayout::forMacOS(), true);
  Launcher launcher(makeContext(app, layout, {"A"}, tmp.path()));
  launcher.javaBundlePath = tmp / "R";
  launcher.pluginUsed = true;
  EXPECT_EQ(launcher.libraryPath(), *layout.pluginLibrary);
}

TEST_F(LaunchTest, HandsTheFourteenValuesAndReturnsTheStatus) {
  ScopedEnv status("FAKE_JLI_STATUS", "42");
  int result = 0;
  auto rec = launchWith({"/prog", "-Xmx1g", "a.Main", "x y"}, QMK_FAKE_JLI, &result);
  EXPECT_EQ(result, 42);
  std::vector<std::string> expected = {
      "argc=4", "arg=/prog", "arg=-Xmx1g", "arg=a.Main", "arg=x y", "argv[argc]=null",
      "jargc=0 jargv=null appclassc=0 appclassv=null",
      // Without a version from the search, both version texts are the fallback.
      "fullversion=1.7.0", "dotversion=1.7.0", "pname=java lname=java",
      "javaargs=0 cpwildcard=0 javaw=0 ergo=0"};
  ASSERT_GE(rec.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(rec.begin() + 1, rec.begin() + 1 + expected.size()), expected);
  EXPECT_STREQ(launchJavaVersion, "1.7.0");
  EXPECT_NE(JLI_LaunchFxnPtr, nullptr);
}

TEST_F(LaunchTest, PassesTheSearchedVersion) {
  launchJavaVersion = strdup("17.0.1");
  auto rec = launchWith({"/prog", "a.Main"});
  EXPECT_TRUE(contains(rec, "fullversion=17.0.1"));
  EXPECT_TRUE(contains(rec, "dotversion=17.0.1"));
}

TEST_F(LaunchTest, WithoutAtEntriesNoListFunctionIsCalled) {
  auto rec = launchWith({"/prog", "-Dx=1", "a.Main", "b"});
  for (const auto& line : rec) {
    EXPECT_EQ(line.find("InitArgProcessing"), std::string::npos) << line;
    EXPECT_EQ(line.find("PreprocessArg"), std::string::npos) << line;
  }
}

TEST_F(LaunchTest, AtEntriesAreExpandedByTheLibraryButNeverEntryZero) {
  writeFile(tmp / "opts", "-Dfrom=file\n-Xss2m\n");
  std::string at = "@" + tmp / "opts";
  auto rec = launchWith({"@prog", at, "a.Main", "arg"});
  // The launcher has no embedded Java arguments: the first flag is 0, so the library stops
  // expanding at the main class.
  EXPECT_TRUE(contains(rec, "InitArgProcessing 0 0"));
  EXPECT_TRUE(contains(rec, "List_new 5"));
  EXPECT_FALSE(contains(rec, "PreprocessArg @prog 1"));
  EXPECT_TRUE(contains(rec, "PreprocessArg " + at + " 1"));
  EXPECT_TRUE(contains(rec, "PreprocessArg a.Main 1"));
  EXPECT_TRUE(contains(rec, "PreprocessArg arg 1"));
  EXPECT_TRUE(contains(rec, "argc=5"));
  EXPECT_EQ(argc, 5);
  EXPECT_STREQ(argv[0], "@prog");
  EXPECT_STREQ(argv[1], "-Dfrom=file");
  EXPECT_STREQ(argv[2], "-Xss2m");
  EXPECT_STREQ(argv[3], "a.Main");
  EXPECT_STREQ(argv[4], "arg");
  EXPECT_EQ(argv[5], nullptr);
}

TEST_F(LaunchTest, OnlyEntryZeroStartingWithAtStillRunsTheExpansion) {
  auto rec = launchWith({"@prog", "a.Main"});
  EXPECT_TRUE(contains(rec, "InitArgProcessing 0 0"));
  EXPECT_TRUE(contains(rec, "PreprocessArg a.Main 1"));
  EXPECT_STREQ(argv[0], "@prog");
}

TEST_F(LaunchTest, WithoutListFunctionsTheVectorStaysAsItIs) {
  ScopedEnv log("QUILLMARK_LOG", "yes");
  qmk::resetLogStatusForTesting();
  testing::internal::CaptureStderr();
  auto rec = launchWith({"/prog", "@opts", "a.Main"}, QMK_FAKE_JLI_NOLIST);
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();
  EXPECT_TRUE(contains(rec, "arg=@opts"));
  EXPECT_NE(err.find("did not find all list functions"), std::string::npos) << err;
}

TEST_F(LaunchTest, AMissingLibraryIsALaunchError) {
  Launcher launcher = makeLauncher();
  launcher.javaBundlePath = tmp / "nothing-here";
  Launcher::installLaunchVector({"/prog", "a.Main"});
  try {
    launcher.launch();
    FAIL() << "expected an exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "JavaLaunchError");
    EXPECT_EQ(e.reason(), "Could not load JRE.");
  }
  EXPECT_EQ(JLI_LaunchFxnPtr, nullptr);
}

TEST_F(LaunchTest, ALibraryWithoutJliLaunchIsALaunchError) {
  // Any shared library without the entry will do: the list-less test library still has it, so
  // use the C library.
  std::filesystem::remove(runtime + "/lib/libjli.so");
  std::filesystem::create_symlink("/lib/x86_64-linux-gnu/libz.so.1", runtime + "/lib/libjli.so");
  Launcher launcher = makeLauncher();
  launcher.javaBundlePath = runtime;
  Launcher::installLaunchVector({"/prog", "a.Main"});
  try {
    launcher.launch();
    FAIL() << "expected an exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "JavaLaunchError");
    EXPECT_EQ(e.reason(), "Could not get function pointer for JLI_Launch.");
  }
}

TEST_F(LaunchTest, NoRuntimeShowsTheMinimumVersionNoticeAndReturnsOne) {
  writeFile(app + "/Contents/Resources/en.lproj/Localizable.strings",
            "\"AppleJavaMinVersionError\" = \"%@ needs Java %@\";\n");
  Launcher launcher = makeLauncher();
  EXPECT_EQ(launcher.launch(), 1);
  ASSERT_EQ(notices.size(), 1u);
  // Without "qmk.minVersion" the text is shown without inserts.
  EXPECT_EQ(notices[0].message, "%@ needs Java %@");
  EXPECT_EQ(notices[0].header, "App");
  EXPECT_FALSE(std::filesystem::exists(record));
}

TEST_F(LaunchTest, PlainVectorHasTheFixedShape) {
  auto v = Launcher::buildLaunchVector("/prog", {"-Xmx1g", "-Dx=1"}, "/R", "a.Main", {"foo"});
  EXPECT_EQ(v, (std::vector<std::string>{"/prog", "-Xmx1g", "-Dx=1", "-Dqmk.jreBundle=/R", "a.Main",
                                         "foo"}));
  Launcher::installLaunchVector(v);
  EXPECT_EQ(argc, 6);
  EXPECT_EQ(argv[6], nullptr);
}

// --- The argument-file road ------------------------------------------------------------------

class ArgumentFileTest : public LaunchTest {
 protected:
  Launcher loadFile(const std::string& content) {
    writeFile(file, content);
    Launcher launcher = makeLauncher();
    launcher.load("/prog", file.c_str());
    return launcher;
  }
  std::string file = tmp / "args.txt";
};

TEST_F(ArgumentFileTest, TheVectorArrivesVerbatimAndTheFileIsGone) {
  Launcher launcher = loadFile(runtime + "\n-Dx=a b\n\n a.Main \n@notes");
  EXPECT_FALSE(exists(file));
  EXPECT_EQ(launcher.javaBundlePath, runtime);
  ASSERT_EQ(argc, 5);
  std::vector<std::string> got(argv, argv + argc);
  EXPECT_EQ(got, (std::vector<std::string>{"/prog", "-Dx=a b", "", " a.Main ", "@notes"}));
}

TEST_F(ArgumentFileTest, ATrailingLineFeedGivesALastEmptyEntry) {
  loadFile(runtime + "\na.Main\n");
  ASSERT_EQ(argc, 3);
  EXPECT_STREQ(argv[2], "");
}

TEST_F(ArgumentFileTest, CarriageReturnsStayInTheEntries) {
  Launcher launcher = loadFile(runtime + "\r\na.Main\r\n");
  EXPECT_EQ(launcher.javaBundlePath, runtime + "\r");
  EXPECT_STREQ(argv[1], "a.Main\r");
  EXPECT_THROW(launcher.launch(), platform::Exception);
}

TEST_F(ArgumentFileTest, ANulEndsItsLineTheRuntimeLineIncluded) {
  using namespace std::string_literals;
  Launcher launcher = loadFile(runtime + "\0junk\n-Dx=a\0b\na.Main"s);
  EXPECT_EQ(launcher.javaBundlePath, runtime);
  ASSERT_EQ(argc, 3);
  EXPECT_EQ(std::vector<std::string>(argv, argv + argc),
            (std::vector<std::string>{"/prog", "-Dx=a", "a.Main"}));
}

TEST_F(ArgumentFileTest, OneLineOrNoFileMeansNoRuntime) {
  for (const char* content : {"/some/runtime", "", "\xff\xfe not utf-8\n"}) {
    notices.clear();
    Launcher launcher = loadFile(content);
    EXPECT_FALSE(exists(file)) << content;
    EXPECT_FALSE(launcher.javaBundlePath.has_value()) << content;
    EXPECT_EQ(launcher.launch(), 1);
    EXPECT_EQ(notices.size(), 1u);
  }
  Launcher launcher = makeLauncher();
  launcher.load("/prog", (tmp / "missing").c_str());
  EXPECT_FALSE(launcher.javaBundlePath.has_value());
}

// Binds a unix socket at `path`; the socket's descriptor is closed, its name stays.
void makeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path)) << path;
  std::strcpy(address.sun_path, path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
}

TEST_F(ArgumentFileTest, OnlyARegularFileOrALinkNamedAsTheFileIsRemoved) {
  const std::string target = tmp / "target";
  struct Case {
    const char* kind;
    std::function<void(const std::string&)> make;
    bool removed;
  };
  const std::vector<Case> cases = {
      {"regular file", [](const std::string& p) { writeFile(p, "/some/runtime"); }, true},
      {"symbolic link", [&](const std::string& p) { std::filesystem::create_symlink(target, p); },
       true},
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
      {"unix socket", makeSocket, false},
      {"directory", [](const std::string& p) { makeDirectories(p + "/inside"); }, false},
  };
  for (const Case& c : cases) {
    writeFile(target, "/some/runtime\na.Main");
    const std::string path = tmp / "named";
    c.make(path);
    Launcher launcher = makeLauncher();
    launcher.load("/prog", path.c_str());
    std::error_code ignored;
    EXPECT_EQ(std::filesystem::symlink_status(path, ignored).type() ==
                  std::filesystem::file_type::not_found,
              c.removed)
        << c.kind;
    EXPECT_TRUE(exists(target)) << c.kind;
    std::filesystem::remove_all(path, ignored);
  }
}

TEST_F(ArgumentFileTest, TheRuntimeVersionIsRecordedForTheLaunch) {
  makeRuntimeBundle(tmp / "jdk.bundle", "11.0.2+9");
  std::filesystem::create_directories(tmp / "jdk.bundle/Contents/Home/lib");
  std::filesystem::create_symlink(QMK_FAKE_JLI, tmp / "jdk.bundle/Contents/Home/lib/libjli.so");
  Launcher launcher = loadFile(tmp / "jdk.bundle\na.Main");
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
  launcher.launch();
  EXPECT_TRUE(contains(lines(readFile(record)), "fullversion=11.0.2"));
}

// --- The second entry ------------------------------------------------------------------------

TEST_F(LaunchTest, ASecondEntryGoesStraightBackToTheLibrary) {
  launchWith({"/prog", "a.Main"});
  std::filesystem::remove(record);
  ScopedEnv log("QUILLMARK_LOG", "yes");
  qmk::resetLogStatusForTesting();
  ScopedEnv status("FAKE_JLI_STATUS", "5");
  std::vector<std::string> args = {"/other", "-Dy=2", "b.Main"};
  std::vector<char*> ptrs;
  ptrs.reserve(args.size() + 1);
  for (auto& a : args) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  testing::internal::CaptureStderr();
  int result = launcher_main(3, ptrs.data());
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();
  EXPECT_EQ(result, 5);
  auto rec = lines(readFile(record));
  EXPECT_TRUE(contains(rec, "arg=/other"));
  EXPECT_TRUE(contains(rec, "arg=b.Main"));
  // Only the first debug line of launcher_main is written on this road.
  EXPECT_EQ(lines(err).size(), 1u) << err;
  EXPECT_NE(err.find("launcher_main 3"), std::string::npos);
}

}  // namespace
