// setupstub from end to end, shared by the tests that run it: an installer bundle with the real
// program, a real runtime made with jlink from the JDK (java.base only, as a bundle and as the
// archive GNU tar makes of it), the Java probe as the installer, and a started program whose
// output is read while it runs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "platform/plist.h"
#include "support/test_support.h"

namespace testing_support {

using Env = std::map<std::string, std::optional<std::string>>;

// A started program whose output is read while it runs, so that the test can act on it.
class Spawned {
 public:
  // What the program's standard input and output are.
  enum class Input { kDevNull, kClosed };
  enum class Output { kPipe, kClosed, kBrokenPipe };
  struct Descriptors {
    Input input = Input::kDevNull;
    Output output = Output::kPipe;
    std::optional<std::string> workingDirectory;
  };

  Spawned(const std::vector<std::string>& argv, const Env& env)
      : Spawned(argv, env, Descriptors{}) {}
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  Spawned(const std::vector<std::string>& argv, const Env& env, const Descriptors& descriptors) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
    if (descriptors.output == Output::kBrokenPipe) {
      ::close(out[0]);  // nobody will ever read what the program writes
      out[0] = -1;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1], devnull}) {
        if (fd > 2) ::close(fd);
      }
      if (descriptors.input == Input::kClosed) ::close(0);
      if (descriptors.output == Output::kClosed) ::close(1);
      ::signal(SIGPIPE, SIG_DFL);
      for (const auto& [k, v] : env) v ? ::setenv(k.c_str(), v->c_str(), 1) : ::unsetenv(k.c_str());
      if (descriptors.workingDirectory && ::chdir(descriptors.workingDirectory->c_str()) != 0) {
        ::_exit(126);
      }
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
    if (descriptors.output != Output::kPipe && out_ >= 0) {
      ::close(out_);
      out_ = -1;
    }
  }

  ~Spawned() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      finish();
    }
    for (int fd : {out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  pid_t pid() const { return pid_; }

  // Reads until `pattern` shows up on standard error (or output); false when the program ends
  // first or the guard runs out (a hang fails the test rather than blocking it).
  bool waitForError(const std::string& pattern,
                    std::chrono::seconds guard = std::chrono::seconds(120)) {
    return waitFor(result_.err, pattern, guard);
  }
  bool waitForOutput(const std::string& pattern,
                     std::chrono::seconds guard = std::chrono::seconds(120)) {
    return waitFor(result_.out, pattern, guard);
  }

  void signal(int number) { ::kill(pid_, number); }

  // Reads to the end and waits for the program. `status` is the exit code, or 128 + the signal
  // number when a signal ended the program.
  RunResult finish() {
    while (readSome(-1)) {
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    done_ = true;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
  }

  const std::string& out() const { return result_.out; }
  const std::string& err() const { return result_.err; }

 private:
  bool waitFor(const std::string& text, const std::string& pattern, std::chrono::seconds guard) {
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (text.find(pattern) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !readSome(200)) return false;
    }
    return true;
  }

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
inline std::string probeValue(const std::string& out, const std::string& key) {
  std::regex line("(^|\n)" + std::regex_replace(key, std::regex(R"([.\[\]])"), R"(\$&)") +
                  "=([^\n]*)");
  std::smatch m;
  return std::regex_search(out, m, line) ? m[2].str() : "<absent>";
}

// Makes the runtime the installer tests use at `bundle`: java.base only, made with jlink (of the
// test JDK unless another is named), with an Info.plist naming its version.
inline void makeJlinkRuntime(const std::string& bundle, const std::string& jdk = QMK_JAVA_HOME,
                             const std::string& version = "17.0.15") {
  std::filesystem::create_directories(bundle + "/Contents");
  RunResult r = run({jdk + "/bin/jlink", "--add-modules", "java.base", "--strip-debug",
                     "--no-header-files", "--no-man-pages", "--output", bundle + "/Contents/Home"});
  ASSERT_EQ(r.status, 0) << r.err;
  writeFile(bundle + "/Contents/Info.plist",
            plist::toXml(dict({{"JavaVM", dict({{"JVMVersion", str(version)}})},
                               {"CFBundleIdentifier", str("test.jlink.jre")}})));
}

class SetupstubTest : public ::testing::Test {
 protected:
  // The runtime made once for all tests: java.base only, as a bundle and as its archive.
  static inline TempDir* shared = nullptr;
  static std::string runtimeBundle() { return *shared / "jre.bundle"; }
  static std::string runtimeArchive() { return *shared / "jre.tar.gz"; }

  static void SetUpTestSuite() {
    shared = new TempDir();
    makeJlinkRuntime(runtimeBundle());
    RunResult r = run({"/usr/bin/tar", "-czf", runtimeArchive(), "-C", runtimeBundle(), "."});
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
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(tmp);
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
    const std::string app = makeAppBundle(dir.path(), "Demo.app", plist::Value::dictionary(info));
    std::filesystem::copy_file(QMK_SETUPSTUB, app + "/Contents/MacOS/setupstub",
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(app + "/Contents/Resources/en.lproj/Localizable.strings",
              "\"WizardCaption\" = \"Demo Setup\";\n"
              "\"PrepareInstaller\" = \"Preparing %@\";\n"
              "\"DownloadingJre\" = \"Downloading Java for %@\";\n"
              "\"DownloadProgress\" = \"%@ of %@ MiB (%@%%), %@ KiB/s\";\n"
              "\"ButtonCancel\" = \"Cancel\";\n"
              "\"DownloadJreError\" = \"The runtime could not be downloaded.\";\n"
              "\"AppleJavaMinVersionError\" = \"Needs Java %@ for %@.\";\n"
              "\"vexel.InternalError\" = \"Internal error: %@\";\n");
    if (shipArchive) shipArchiveIn(app, runtimeArchive());
    return app;
  }

  // Puts `archive` into the bundle as the runtime archive it ships.
  static void shipArchiveIn(const std::string& app, const std::string& archive) {
    std::filesystem::create_directories(app + "/Contents/Resources/app");
    std::filesystem::copy_file(archive, app + "/Contents/Resources/app/jre.tar.gz",
                               std::filesystem::copy_options::overwrite_existing);
  }

  std::string program(const std::string& app) const { return app + "/Contents/MacOS/setupstub"; }

  Env environment() const {
    return {{"HOME", home},
            {"TMPDIR", tmp},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"QUILLMARK_LOG", std::nullopt},
            {"JAVA_HOME", std::nullopt},
            {"LANG", "C.UTF-8"},
            {"no_proxy", "127.0.0.1"},
            {"NO_AT_BRIDGE", "1"}};
  }

  RunResult runInstaller(const std::string& app, std::vector<std::string> arguments = {},
                         const std::string& input = "", Env extra = {}) {
    std::vector<std::string> argv = {program(app)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Env env = environment();
    for (auto& [k, v] : extra) env[k] = v;
    return run(argv, input, env);
  }

  bool temporaryDirectoriesGone() const { return std::filesystem::is_empty(tmp); }

  // The user's notices are plain "Demo: text" lines on standard error.
  static bool noticeShown(const RunResult& r, const std::string& text) {
    return r.err.find("Demo: " + text) != std::string::npos;
  }
  static bool anyNotice(const RunResult& r) { return r.err.find("Demo: ") != std::string::npos; }
};

}  // namespace testing_support
