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
#include <functional>
#include <random>
#include <regex>

#include "platform/plist.h"
#include "support/http_server.h"
#include "support/installer_fixture.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::arr;
using testing_support::dict;
using testing_support::Env;
using testing_support::exists;
using testing_support::HttpServer;
using testing_support::probeValue;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::SetupstubTest;
using testing_support::Spawned;
using testing_support::str;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

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

struct DamagedArchiveCase {
  const char* what;
  // Writes the damaged archive into `dir` and returns its path.
  std::function<std::string(const std::string& dir)> make;
  const char* logLine;  // the extractor's own line, or empty when any will do
};

TEST_F(SetupstubTest, DamagedShippedArchivesAreAnInternalError) {
  // GNU tar writes `archive` from `inputs` and returns its path.
  auto gnuTar = [](const std::string& archive, std::vector<std::string> inputs) {
    std::vector<std::string> argv = {"/usr/bin/tar", "-czf", archive};
    argv.insert(argv.end(), inputs.begin(), inputs.end());
    RunResult r = testing_support::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return archive;
  };
  const DamagedArchiveCase cases[] = {
      {"cut short",
       [](const std::string& d) {
         std::string bytes = readFile(runtimeArchive());
         writeFile(d + "/cut.tar.gz", bytes.substr(0, bytes.size() * 2 / 3));
         return d + "/cut.tar.gz";
       },
       ""},
      {"empty tar",
       [&](const std::string& d) {
         return gnuTar(d + "/empty.tar.gz", {"-T", "/dev/null"});
       },
       "ERROR: no magic number"},
      {"directories only",
       [&](const std::string& d) {
         fs::create_directories(d + "/dirs/Contents/Home/bin");
         return gnuTar(d + "/dirs.tar.gz", {"-C", d + "/dirs", "."});
       },
       "ERROR: no magic number"},
  };
  const std::string app = makeInstaller({}, /*shipArchive=*/false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir work;
    shipArchiveIn(app, c.make(work.path()));
    RunResult r = runInstaller(app);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(noticeShown(r, "Internal error: The runtime archive")) << r.err;
    EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.logLine), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("bin/java"), std::string::npos) << "no attempt to start a runtime";
    EXPECT_EQ(r.out.find("arg["), std::string::npos) << "the installer never started";
    EXPECT_TRUE(temporaryDirectoriesGone());
  }
}

// --- Road 2: a runtime on the machine
// --------------------------------------------------------------

TEST_F(SetupstubTest, SearchedRuntimeIsUsedInPlace) {
  const std::string app =
      makeInstaller({{"JavaVM", dict({{"SearchSequence", arr({"R" + runtimeBundle()})}})}}, false);
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
  const std::string app =
      makeInstaller({{"qmk.appId", str("demo")},
                     {"JavaVM", dict({{"SearchSequence", arr({"R" + dir / "nothing-here"})}})}},
                    false);
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(probeValue(r.out, "prop:qmk.jreBundle"), jre);
  EXPECT_TRUE(temporaryDirectoriesGone());
}

TEST_F(SetupstubTest, InstallerKilledBySignalGivesTheSignalNumber) {
  // A test runtime whose bin/java ends itself with the signal. (A real JVM turns SIGSEGV into a
  // crash report and SIGABRT: see reliability_process_test.)
  for (const int signal : {SIGKILL, SIGSEGV}) {
    const std::string fake = dir / ("fake-jre-" + std::to_string(signal));
    testing_support::makePlainRuntimeHome(fake, "17.0.2");
    writeFile(fake + "/bin/java", "#!/bin/sh\nkill -" + std::to_string(signal) + " $$\n", 0755);
    fs::remove_all(dir / "Demo.app");
    const std::string app =
        makeInstaller({{"JavaVM", dict({{"SearchSequence", arr({"R" + fake})}})}}, false);
    RunResult r = runInstaller(app);
    EXPECT_EQ(r.status, signal) << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone());
  }
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

// --- Road 3: the download
// ---------------------------------------------------------------------------

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
    EXPECT_TRUE(std::regex_match(jreBundle, std::regex(tmp + "/([^/]+)/jre\\.bundle")))
        << jreBundle;
    EXPECT_EQ(tarFile, fs::path(jreBundle).parent_path().string() + "/jre.tar.gz") << query;
    EXPECT_NE(r.err.find("Downloading Java for Demo\n"), std::string::npos) << query << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone()) << query;
    EXPECT_FALSE(anyNotice(r)) << query << r.err;
    if (query == "?rate=6000000") {
      // About three seconds at that rate: progress lines with the texts, about 5 MiB/s.
      EXPECT_TRUE(
          std::regex_search(r.err, std::regex(R"(\d+\.\d of \d+\.\d MiB \(\d+%\), \d+ KiB/s)")))
          << r.err;
    }
  }
}

TEST_F(DownloadRoadTest, FailedDownloadsShowTheirNotice) {
  const std::string unreachable =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) + "/jre.tar.gz";
  const std::string cases[] = {server.url("/status/404"),
                               server.url("/files/jre.tar.gz?drop=4000000"), unreachable,
                               "::not a url::"};
  for (const auto& location : cases) {
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeInstaller({{"qmk.jreLocation", str(location)},
                                           {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
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

// --- The window under Xvfb
// --------------------------------------------------------------------------

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
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
               "tcp", nullptr);
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
  RunResult r =
      testing_support::run({"/usr/bin/convert", "-size", "256x256", "xc:red", "png:" + scratch});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string png = readFile(scratch);
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  std::string element = "ic08" + be32(8 + png.size()) + png;
  writeFile(path, "icns" + be32(8 + element.size()) + element);
}

// A point inside the Cancel button of `window`: the button sits in the lower right corner,
// inside the window's border, and is larger than 40x24 pixels with any theme.
std::pair<int, int> cancelButtonPoint(const std::string& window, const Env& xenv) {
  RunResult geometry = testing_support::run(
      {"/usr/bin/xdotool", "getwindowgeometry", "--shell", window}, "", xenv);
  const int width = std::stoi(probeValue(geometry.out, "WIDTH"));
  const int height = std::stoi(probeValue(geometry.out, "HEIGHT"));
  constexpr int kBorder = 16;
  return {width - kBorder - 20, height - kBorder - 12};
}

struct WindowEndCase {
  const char* what;
  // Acts on the shown installer window `window` of the display in `xenv`.
  std::function<RunResult(const std::string& window, const Env& xenv)> act;
};

TEST_F(DownloadRoadTest, WindowShowsItselfAndEveryWayOfEndingItCancelsTheRun) {
  Xvfb x;
  if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start here: no GUI test";
  const WindowEndCase cases[] = {
      {"a click on Cancel",
       [](const std::string& window, const Env& xenv) {
         auto [cx, cy] = cancelButtonPoint(window, xenv);
         return testing_support::run({"/usr/bin/xdotool", "mousemove", "--window", window,
                                      std::to_string(cx), std::to_string(cy), "click", "1"},
                                     "", xenv);
       }},
      {"the window destroyed by another program",
       [](const std::string& window, const Env& xenv) {
         return testing_support::run({QMK_DESTROY_WINDOW, window}, "", xenv);
       }},
  };
  Env xenv = {{"DISPLAY", x.display}};
  for (const WindowEndCase& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeDownloadingInstaller("/files/jre.tar.gz?rate=200000");
    writeRedIcon(app + "/Contents/Resources/app.icns", dir / "red.png");
    Env env = environment();
    env["DISPLAY"] = x.display;
    env["QUILLMARK_LOG"] = "yes";
    Spawned installer({program(app)}, env);
    ASSERT_TRUE(installer.waitForError("waiting for download to finish")) << installer.err();

    RunResult search = testing_support::run({"/usr/bin/timeout", "30", "/usr/bin/xdotool",
                                             "search", "--sync", "--onlyvisible", "--name",
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
    RunResult colours =
        testing_support::run({"/usr/bin/convert", shot, "-format", "%c", "histogram:info:-"});
    EXPECT_NE(colours.out.find("#FF0000"), std::string::npos) << "the icon is shown";

    RunResult acted = c.act(window, xenv);
    ASSERT_EQ(acted.status, 0) << acted.err;
    // A run that goes on (a hang) fails here instead of blocking the suite.
    const bool cancelled = installer.waitForError("Cancelled", std::chrono::seconds(60));
    if (!cancelled) installer.signal(SIGKILL);
    RunResult r = installer.finish();
    EXPECT_TRUE(cancelled) << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(anyNotice(r)) << r.err;
    EXPECT_EQ(r.err.find("CRITICAL"), std::string::npos) << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone());
  }
}

TEST_F(SetupstubTest, DisplayThatCannotOpenFallsBackToTheTerminal) {
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  RunResult r = runInstaller(app, {}, "", {{"DISPLAY", ":4242"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Preparing Demo\n"), std::string::npos) << r.err;
}

}  // namespace
