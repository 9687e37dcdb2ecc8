// setupstub from end to end: an installer bundle with the real program, a real runtime made with
// jlink from the JDK, the Java probe as the installer, a loopback HTTP server for downloads, and
// under Xvfb the real window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>

#include "platform/plist.h"
#include "support/http_server.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::arr;
using testing_support::dict;
using testing_support::exists;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::str;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using Env = std::map<std::string, std::optional<std::string>>;

// A started program whose output is read while it runs, so that the test can act on it.
class Spawned {
 public:
  Spawned(const std::vector<std::string>& argv, const Env& env) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1], devnull}) ::close(fd);
      for (const auto& [k, v] : env) v ? ::setenv(k.c_str(), v->c_str(), 1) : ::unsetenv(k.c_str());
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~Spawned() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      finish();
    }
  }

  // Reads until `pattern` shows up on standard error; false when the program ends first or the
  // guard runs out (a hang fails the test rather than blocking it).
  bool waitForError(const std::string& pattern, std::chrono::seconds guard = std::chrono::seconds(120)) {
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (result_.err.find(pattern) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !readSome(200)) return false;
    }
    return true;
  }

  void signal(int number) { ::kill(pid_, number); }

  RunResult finish() {
    while (readSome(-1)) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    done_ = true;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
  }

  const std::string& err() const { return result_.err; }

 private:
  // One round of reading; false once both streams are at their end.
  bool readSome(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    if (::poll(fds, 2, timeoutMs) < 0) return true;
    char buffer[65536];
    for (int i = 0; i < 2; i++) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || !fds[i].revents) continue;
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
      } else {
        (i == 0 ? result_.out : result_.err).append(buffer, n);
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool done_ = false;
  RunResult result_;
};

// The probe's "key=value" lines.
std::string probeValue(const std::string& out, const std::string& key) {
  std::regex line("(^|\n)" + std::regex_replace(key, std::regex(R"([.\[\]])"), R"(\$&)") + "=([^\n]*)");
  std::smatch m;
  return std::regex_search(out, m, line) ? m[2].str() : "<absent>";
}

class SetupstubTest : public ::testing::Test {
 protected:
  // The runtime made once for all tests: java.base only, as a bundle and as its archive.
  static inline TempDir* shared = nullptr;
  static std::string runtimeBundle() { return *shared / "jre.bundle"; }
  static std::string runtimeArchive() { return *shared / "jre.tar.gz"; }

  static void SetUpTestSuite() {
    shared = new TempDir();
    const std::string home = runtimeBundle() + "/Contents/Home";
    fs::create_directories(runtimeBundle() + "/Contents");
    RunResult r = testing_support::run({QMK_JAVA_HOME "/bin/jlink", "--add-modules", "java.base",
                                        "--strip-debug", "--no-header-files", "--no-man-pages",
                                        "--output", home});
    ASSERT_EQ(r.status, 0) << r.err;
    writeFile(runtimeBundle() + "/Contents/Info.plist",
              plist::toXml(dict({{"JavaVM", dict({{"JVMVersion", str("17.0.15")}})},
                                 {"CFBundleIdentifier", str("test.jlink.jre")}})));
    r = testing_support::run({"/usr/bin/tar", "-czf", runtimeArchive(), "-C", runtimeBundle(), "."});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }

  TempDir dir;
  std::string home = dir / "home";
  std::string tmp = dir / "tmp";

  SetupstubTest() {
    fs::create_directories(home);
    fs::create_directories(tmp);
  }

  // An installer bundle Demo.app whose installer is the probe; `info` adds to its Info.plist.
  std::string makeInstaller(plist::Dictionary info, bool shipArchive) {
    plist::Dictionary javaVM = {
        {"MainClass", str("Probe")},
        {"ClassPath", str(QMK_JAVA_CLASSES)},
        {"VMOptionArray", arr({"-Dprobe.props=qmk.jreBundle,qmk.tarFile"})},
    };
    if (info.count("JavaVM")) {
      for (const auto& [k, v] : *info["JavaVM"].asDictionary()) javaVM[k] = v;
    }
    info["JavaVM"] = plist::Value::dictionary(javaVM);
    info.emplace("CFBundleName", str("Demo"));
    info.emplace("CFBundleIdentifier", str("test.demo.installer"));
    const std::string app = testing_support::makeAppBundle(dir.path(), "Demo.app",
                                                           plist::Value::dictionary(info));
    fs::copy_file(QMK_SETUPSTUB, app + "/Contents/MacOS/setupstub",
                  fs::copy_options::overwrite_existing);
    writeFile(app + "/Contents/Resources/en.lproj/Localizable.strings",
              "\"WizardCaption\" = \"Demo Setup\";\n"
              "\"PrepareInstaller\" = \"Preparing %@\";\n"
              "\"DownloadingJre\" = \"Downloading Java for %@\";\n"
              "\"DownloadProgress\" = \"%@ of %@ MiB (%@%%), %@ KiB/s\";\n"
              "\"ButtonCancel\" = \"Cancel\";\n"
              "\"DownloadJreError\" = \"The runtime could not be downloaded.\";\n"
              "\"AppleJavaMinVersionError\" = \"Needs Java %@ for %@.\";\n"
              "\"vexel.InternalError\" = \"Internal error: %@\";\n");
    if (shipArchive) {
      fs::create_directories(app + "/Contents/Resources/app");
      fs::copy_file(runtimeArchive(), app + "/Contents/Resources/app/jre.tar.gz");
    }
    return app;
  }

  std::string program(const std::string& app) const { return app + "/Contents/MacOS/setupstub"; }

  Env environment() const {
    return {{"HOME", home},         {"TMPDIR", tmp},           {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt}, {"QUILLMARK_LOG", std::nullopt},
            {"JAVA_HOME", std::nullopt},       {"LANG", "C.UTF-8"},
            {"no_proxy", "127.0.0.1"},         {"NO_AT_BRIDGE", "1"}};
  }

  RunResult runInstaller(const std::string& app, std::vector<std::string> arguments = {},
                         const std::string& input = "", Env extra = {}) {
    std::vector<std::string> argv = {program(app)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Env env = environment();
    for (auto& [k, v] : extra) env[k] = v;
    return testing_support::run(argv, input, env);
  }

  bool temporaryDirectoriesGone() const { return fs::is_empty(tmp); }

  // The user's notices are plain "Demo: text" lines on standard error.
  static bool noticeShown(const RunResult& r, const std::string& text) {
    return r.err.find("Demo: " + text) != std::string::npos;
  }
  static bool anyNotice(const RunResult& r) { return r.err.find("Demo: ") != std::string::npos; }
};

// --- Road 1: the archive shipped in the bundle ---------------------------------------------------

TEST_F(SetupstubTest, ShippedArchiveRunsTheInstallerWithItsInputAndStatus) {
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  std::mt19937 gen(7);
  std::string input(10 * 1024 * 1024, '\0');
  for (auto& c : input) c = static_cast<char>(gen());
  RunResult r = runInstaller(app, {"echo", "exit=7"}, input);

  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_EQ(probeValue(r.out, "arg[0]"), "echo");
  EXPECT_EQ(probeValue(r.out, "arg[1]"), "exit=7");
  const std::string jreBundle = probeValue(r.out, "prop:qmk.jreBundle");
  EXPECT_TRUE(std::regex_match(jreBundle, std::regex(tmp + "/[^/]+/jre\\.bundle"))) << jreBundle;
  EXPECT_EQ(probeValue(r.out, "prop:qmk.tarFile"), app + "/Contents/Resources/app/jre.tar.gz");
  ASSERT_GE(r.out.size(), input.size());
  EXPECT_TRUE(r.out.compare(r.out.size() - input.size(), input.size(), input) == 0)
      << "the input reached the installer byte for byte";
  EXPECT_TRUE(temporaryDirectoriesGone());
  EXPECT_FALSE(anyNotice(r)) << r.err;
  // Standard error is no terminal: the status line, then the bar a tenth at a time.
  EXPECT_NE(r.err.find("Preparing Demo\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("] 100%"), std::string::npos) << r.err;
}

TEST_F(SetupstubTest, QuietShowsNoProgressAndLaunchParametersGoToTheInstaller) {
  const std::string app = makeInstaller(
      {{"JavaVM", dict({{"WorkingDirectory", str("$APP_PACKAGE/Contents/Resources")}})}},
      /*shipArchive=*/true);
  writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
            plist::toXml(dict({{"AppleLocale", str("de_DE")}})));
  RunResult r = runInstaller(app, {"-q"}, "", {{"LANG", std::nullopt}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(probeValue(r.out, "arg[0]"), "-q");
  EXPECT_EQ(probeValue(r.out, "prop:user.dir"), app + "/Contents/Resources");
  EXPECT_EQ(probeValue(r.out, "env:LANG"), "de_DE.UTF-8");
  EXPECT_EQ(r.err, "") << "nothing at all under -q";
}

TEST_F(SetupstubTest, DamagedShippedArchiveIsAnInternalError) {
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  const std::string archive = app + "/Contents/Resources/app/jre.tar.gz";
  std::string bytes = readFile(archive);
  writeFile(archive, bytes.substr(0, bytes.size() * 2 / 3));
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(noticeShown(r, "Internal error: The runtime archive")) << r.err;
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("arg["), std::string::npos) << "the installer never started";
  EXPECT_TRUE(temporaryDirectoriesGone());
}

// --- Road 2: a runtime on the machine --------------------------------------------------------------

TEST_F(SetupstubTest, SearchedRuntimeIsUsedInPlace) {
  const std::string app = makeInstaller(
      {{"JavaVM", dict({{"SearchSequence", arr({"R" + runtimeBundle()})}})}}, false);
  RunResult r = runInstaller(app, {"exit=3"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(probeValue(r.out, "prop:qmk.jreBundle"), runtimeBundle());
  EXPECT_EQ(probeValue(r.out, "prop:qmk.tarFile"), "null") << "no archive on this road";
  EXPECT_TRUE(temporaryDirectoriesGone());
}

TEST_F(SetupstubTest, PlainRuntimeDirectoryRunsItsOwnJava) {
  // A Linux runtime home: bin/java and a release file, no Contents/Home.
  const std::string app = makeInstaller(
      {{"JavaVM", dict({{"SearchSequence", arr({"R" + runtimeBundle() + "/Contents/Home"})}})}},
      false);
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(probeValue(r.out, "prop:qmk.jreBundle"), runtimeBundle() + "/Contents/Home");
}

TEST_F(SetupstubTest, RegistryRoadFindsAnEarlierInstallation) {
  // An earlier installation left a plain runtime directory with its recorded version.
  const std::string installation = dir / "installed";
  const std::string jre = installation + "/.quillmark/jre";
  fs::create_directories(installation + "/.quillmark");
  fs::copy(runtimeBundle() + "/Contents/Home", jre,
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  writeFile(jre + "/quillmark_jre_version", "17.0.15");
  writeFile(home + "/Library/Preferences/com.quillmark.installations.plist",
            plist::toXml(dict({{"/com/quillmark/installations/",
                                dict({{"allinstdirsdemo", str(installation)}})}})));
  const std::string app = makeInstaller(
      {{"qmk.appId", str("demo")},
       {"JavaVM", dict({{"SearchSequence", arr({"R" + dir / "nothing-here"})}})}},
      false);
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(probeValue(r.out, "prop:qmk.jreBundle"), jre);
  EXPECT_TRUE(temporaryDirectoriesGone());
}

TEST_F(SetupstubTest, InstallerKilledBySignalGivesTheSignalNumber) {
  // A test runtime whose bin/java ends itself with SIGKILL.
  const std::string fake = dir / "fake-jre";
  testing_support::makePlainRuntimeHome(fake, "17.0.2");
  writeFile(fake + "/bin/java", "#!/bin/sh\nkill -9 $$\n", 0755);
  const std::string app =
      makeInstaller({{"JavaVM", dict({{"SearchSequence", arr({"R" + fake})}})}}, false);
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 9) << r.err;
}

TEST_F(SetupstubTest, NoRoadGivesTheMinimumVersionNotice) {
  const std::string app = makeInstaller({{"qmk.minVersion", str("99")},
                                         {"qmk.jreLocation", str("  \n\t \n")},
                                         {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
                                        false);
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(noticeShown(r, "Needs Java 99 for Demo.")) << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
}

// --- Road 3: the download ---------------------------------------------------------------------------

class DownloadRoadTest : public SetupstubTest {
 protected:
  HttpServer server{*shared / ""};

  std::string makeDownloadingInstaller(const std::string& path) {
    return makeInstaller({{"qmk.jreLocation", str("\n  " + server.url(path) + "  \n")},
                          {"qmk.jreUncompressedSize", plist::Value::integer(45000000)},
                          {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
                         false);
  }
};

TEST_F(DownloadRoadTest, DownloadedRuntimeRunsTheInstaller) {
  for (const std::string query : {"", "?length=none", "?rate=6000000"}) {
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeDownloadingInstaller("/files/jre.tar.gz" + query);
    RunResult r = runInstaller(app, {"exit=5"});
    EXPECT_EQ(r.status, 5) << query << r.err;
    const std::string jreBundle = probeValue(r.out, "prop:qmk.jreBundle");
    const std::string tarFile = probeValue(r.out, "prop:qmk.tarFile");
    EXPECT_TRUE(std::regex_match(jreBundle, std::regex(tmp + "/([^/]+)/jre\\.bundle"))) << jreBundle;
    EXPECT_EQ(tarFile, fs::path(jreBundle).parent_path().string() + "/jre.tar.gz") << query;
    EXPECT_NE(r.err.find("Downloading Java for Demo\n"), std::string::npos) << query << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone()) << query;
    EXPECT_FALSE(anyNotice(r)) << query << r.err;
    if (query == "?rate=6000000") {
      // About three seconds at that rate: progress lines with the texts, about 5 MiB/s.
      EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\d+\.\d of \d+\.\d MiB \(\d+%\), \d+ KiB/s)")))
          << r.err;
    }
  }
}

TEST_F(DownloadRoadTest, FailedDownloadsShowTheirNotice) {
  const std::string unreachable =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) + "/jre.tar.gz";
  const std::string cases[] = {server.url("/status/404"), server.url("/files/jre.tar.gz?drop=4000000"),
                               unreachable, "::not a url::"};
  for (const auto& location : cases) {
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeInstaller(
        {{"qmk.jreLocation", str(location)}, {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
        false);
    RunResult r = runInstaller(app);
    EXPECT_EQ(r.status, 1) << location;
    EXPECT_TRUE(noticeShown(r, "The runtime could not be downloaded.")) << location << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone()) << location;
    EXPECT_EQ(r.out.find("arg["), std::string::npos) << location;
  }
}

TEST_F(DownloadRoadTest, CtrlCDuringASlowDownloadCancels) {
  const std::string app = makeDownloadingInstaller("/files/jre.tar.gz?rate=200000");
  Env env = environment();
  Spawned installer({program(app)}, env);
  ASSERT_TRUE(installer.waitForError("Downloading Java for Demo\n")) << installer.err();
  installer.signal(SIGINT);
  RunResult r = installer.finish();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(anyNotice(r)) << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
}

// --- The window under Xvfb --------------------------------------------------------------------------

// An X server of its own for the life of the object; `display` empty when none could start.
class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24",
               "-nolisten", "tcp", nullptr);
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::string display;

 private:
  pid_t pid_ = -1;
};

// A .icns icon holding one red PNG image.
void writeRedIcon(const std::string& path, const std::string& scratch) {
  RunResult r = testing_support::run({"/usr/bin/convert", "-size", "256x256", "xc:red", "png:" + scratch});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string png = readFile(scratch);
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  std::string element = "ic08" + be32(8 + png.size()) + png;
  writeFile(path, "icns" + be32(8 + element.size()) + element);
}

TEST_F(DownloadRoadTest, WindowShowsItselfAndCancelClickEndsTheRun) {
  Xvfb x;
  if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start here: no GUI test";
  const std::string app = makeDownloadingInstaller("/files/jre.tar.gz?rate=200000");
  writeRedIcon(app + "/Contents/Resources/app.icns", dir / "red.png");
  Env env = environment();
  env["DISPLAY"] = x.display;
  env["QUILLMARK_LOG"] = "yes";
  Spawned installer({program(app)}, env);
  ASSERT_TRUE(installer.waitForError("cancel button at")) << installer.err();
  ASSERT_TRUE(installer.waitForError("waiting for download to finish")) << installer.err();

  Env xenv = {{"DISPLAY", x.display}};
  RunResult search = testing_support::run(
      {"/usr/bin/timeout", "30", "/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name",
       "^Demo Setup$"},
      "", xenv);
  ASSERT_EQ(search.status, 0) << search.err;
  const std::string window = search.out.substr(0, search.out.find('\n'));

  // The caption, and a screenshot of a window of sensible size showing the red icon.
  RunResult name = testing_support::run({"/usr/bin/xdotool", "getwindowname", window}, "", xenv);
  EXPECT_EQ(name.out, "Demo Setup\n");
  const std::string shot = dir / "window.png";
  RunResult grab = testing_support::run({"/usr/bin/import", "-window", window, shot}, "", xenv);
  ASSERT_EQ(grab.status, 0) << grab.err;
  RunResult size = testing_support::run({"/usr/bin/identify", "-format", "%w %h", shot});
  int width = 0, height = 0;
  std::sscanf(size.out.c_str(), "%d %d", &width, &height);
  EXPECT_GE(width, 400);
  EXPECT_GE(height, 100);
  EXPECT_LE(height, 400);
  RunResult colours = testing_support::run(
      {"/usr/bin/convert", shot, "-format", "%c", "histogram:info:-"});
  EXPECT_NE(colours.out.find("#FF0000"), std::string::npos) << "the icon is shown";

  // A real click in the middle of the Cancel button.
  std::smatch place;
  std::string err = installer.err();
  std::string last = err.substr(err.rfind("cancel button at"));
  ASSERT_TRUE(std::regex_search(last, place, std::regex(R"(at (\d+),(\d+) size (\d+)x(\d+))")));
  const int cx = std::stoi(place[1]) + std::stoi(place[3]) / 2;
  const int cy = std::stoi(place[2]) + std::stoi(place[4]) / 2;
  RunResult click = testing_support::run({"/usr/bin/xdotool", "mousemove", "--window", window,
                                          std::to_string(cx), std::to_string(cy), "click", "1"},
                                         "", xenv);
  ASSERT_EQ(click.status, 0) << click.err;

  RunResult r = installer.finish();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Cancelled"), std::string::npos) << r.err;
  EXPECT_FALSE(anyNotice(r)) << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
}

TEST_F(SetupstubTest, DisplayThatCannotOpenFallsBackToTheTerminal) {
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  RunResult r = runInstaller(app, {}, "", {{"DISPLAY", ":4242"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Preparing Demo\n"), std::string::npos) << r.err;
}

}  // namespace
