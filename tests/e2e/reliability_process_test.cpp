// Reliability scenarios for the processes around the launchers: the installer child (the probe in
// the jlink runtime, started by the whole setupstub) killed by a signal, 100 MiB on standard
// input, and launchers started with standard input or output closed or their output a pipe
// nobody reads. setupstub_test covers a runtime whose java ends itself with SIGKILL or SIGSEGV
// and 10 MiB of input echoed back. Each scenario records a figure line (support/reliability.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "support/installer_fixture.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const std::string kArea = "Processes";

// Where a descriptor of a running process leads: "/dev/null", "a pipe", a file's path, or
// "closed".
std::string descriptorTarget(pid_t pid, int fd) {
  std::error_code error;
  const std::string target =
      fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error)
          .string();
  if (error) return "closed";
  return target.rfind("pipe:", 0) == 0 ? "a pipe" : target;
}

pid_t pidFrom(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(R"(pid=(\d+))")) ? std::stoi(m[1]) : -1;
}

class ProcessReliability : public SetupstubTest {
 protected:
  // The test directory apart from the temporary folder, which must end empty.
  TreeSnapshot outside() const { return TreeSnapshot::of(dir.path(), {"tmp"}); }

  Spawned start(const std::string& app, const std::vector<std::string>& arguments,
                Spawned::Descriptors descriptors = {}) {
    std::vector<std::string> argv = {program(app)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return Spawned(argv, environment(), descriptors);
  }
};

TEST_F(ProcessReliability, InstallerKilledBySignal) {
  struct Case {
    int signal;
    std::string name;
    int status;  // what setupstub ends with
  };
  // The JVM takes SIGSEGV as a crash of its own: it writes its report and aborts.
  const Case cases[] = {{SIGKILL, "SIGKILL", SIGKILL}, {SIGSEGV, "SIGSEGV", SIGABRT}};
  // No core file from the aborting JVM, whatever the machine's setting.
  rlimit core{};
  ::getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = 0;
  ::setrlimit(RLIMIT_CORE, &core);
  for (const auto& c : cases) {
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeInstaller({}, /*shipArchive=*/true);
    const TreeSnapshot before = outside();
    Spawned installer = start(app, {"pid", "sleep=60000"});
    ASSERT_TRUE(installer.waitForError("pid=")) << installer.err();
    const pid_t child = pidFrom(installer.err());
    ASSERT_GT(child, 0);
    ::kill(child, c.signal);
    Stopwatch clock;
    RunResult r = installer.finish();
    const double seconds = clock.seconds();
    // An exit status, not 128 + a signal: setupstub itself ended normally.
    EXPECT_EQ(r.status, c.status) << c.name << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone()) << c.name;
    EXPECT_FALSE(anyNotice(r)) << r.err;
    std::vector<std::string> changes = before.differences(outside());
    std::string left = "nothing";
    if (c.signal == SIGSEGV) {
      // The crash report, in the installer's working directory (the bundle's directory).
      const std::string report = "Demo.app/hs_err_pid" + std::to_string(child) + ".log";
      ASSERT_EQ(changes.size(), 2u) << joined(changes);
      EXPECT_EQ(changes[0].rfind("changed: Demo.app ", 0), 0u) << joined(changes);
      EXPECT_EQ(changes[1].rfind("added: " + report, 0), 0u) << joined(changes);
      EXPECT_NE(r.out.find("A fatal error has been detected"), std::string::npos) << r.out;
      left = "only the JVM's own crash report (Demo.app/hs_err_pid<N>.log, " +
             grouped(fs::file_size(dir / report)) + " bytes, in its working directory)";
    } else {
      EXPECT_TRUE(changes.empty()) << joined(changes);
    }
    const std::string when = secondsText(seconds, 2) +
                             " after the signal (the window stays 5 s after the installer starts)";
    figure(kArea, c.name + " sent to the installer's JVM while it runs",
           c.signal == SIGSEGV
               ? "the JVM reports a fatal error on its standard output and aborts; setupstub "
                 "ends normally with status 6 (SIGABRT, the signal that ended the child), " +
                     when
               : "setupstub ends normally with status 9, " + when,
           "temporary directory removed; written outside it: " + left);
  }
}

TEST_F(ProcessReliability, HundredMebibytesOfInputArriveByteForByte) {
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  std::string input(100 << 20, '\0');
  std::mt19937_64 random(100);
  for (size_t i = 0; i < input.size(); i += 8) {
    const uint64_t v = random();
    std::memcpy(&input[i], &v, 8);
  }
  const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(input.data()),
                          static_cast<uInt>(input.size()));
  char expected[16];
  std::snprintf(expected, sizeof expected, "%lx", crc);
  Stopwatch clock;
  RunResult r = runInstaller(app, {"crc", "exit=4"}, input);
  const double seconds = clock.seconds();
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(probeValue(r.out, "stdin.bytes"), std::to_string(input.size()));
  EXPECT_EQ(probeValue(r.out, "stdin.crc32"), expected);
  EXPECT_TRUE(temporaryDirectoriesGone());
  figure(kArea, "100 MiB of seeded random bytes on setupstub's standard input",
         "the installer read " + grouped(input.size()) + " bytes with CRC-32 " + expected +
             ", the same as sent; status 4 passed on; whole run " + secondsText(seconds),
         "no byte lost, added or reordered");
}

// The descriptors a launcher may be started with, and what the installer then sees.
TEST_F(ProcessReliability, SetupstubWithStandardInputOrOutputClosed) {
  using D = Spawned::Descriptors;
  struct Case {
    std::string input;
    D descriptors;
    std::string note;  // what the run shows beyond the descriptors
  };
  const Case cases[] = {
      {"standard input /dev/null", {.input = Spawned::Input::kDevNull}, ""},
      {"standard input closed (descriptor 0 not open)",
       {.input = Spawned::Input::kClosed},
       "setupstub put /dev/null on descriptor 0 (before, its own wake-up pipe took the number and "
       "the input-forwarding thread read from it); "},
      {"standard output closed (descriptor 1 not open)",
       {.output = Spawned::Output::kClosed},
       "setupstub put /dev/null on descriptor 1 and the installer inherited it (before, the "
       "installer's JVM got a file it opened, lib/modules, as its standard output); "},
      {"standard output a pipe whose reader has gone",
       {.output = Spawned::Output::kBrokenPipe},
       "the installer's writes failed unseen (the JVM ignores SIGPIPE); "},
  };
  const std::string app = makeInstaller({}, /*shipArchive=*/true);
  for (const auto& c : cases) {
    Spawned installer = start(app, {"pid", "crc", "sleep=1500", "exit=3"}, c.descriptors);
    ASSERT_TRUE(installer.waitForError("pid=")) << c.input << installer.err();
    const pid_t child = pidFrom(installer.err());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the input is read by now
    const std::string setupIn = descriptorTarget(installer.pid(), 0);
    const std::string setupOut = descriptorTarget(installer.pid(), 1);
    const std::string childIn = descriptorTarget(child, 0);
    const std::string childOut = descriptorTarget(child, 1);
    RunResult r = installer.finish();
    EXPECT_EQ(r.status, 3) << c.input << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone()) << c.input;
    EXPECT_EQ(childIn, "a pipe") << c.input << ": the forwarded input";
    std::string seen;
    if (c.descriptors.output == Spawned::Output::kPipe) {
      EXPECT_EQ(probeValue(r.out, "stdin.bytes"), "0") << c.input;
      seen = "the installer read 0 bytes; ";
    }
    if (c.descriptors.input == Spawned::Input::kClosed) {
      // Held by /dev/null from the start, never by a descriptor setupstub opens for itself.
      EXPECT_EQ(setupIn, "/dev/null") << c.input;
    }
    if (c.descriptors.output == Spawned::Output::kClosed) {
      EXPECT_EQ(setupOut, "/dev/null") << c.input;
      EXPECT_EQ(childOut, "/dev/null") << c.input << ": not a file the JVM opened";
    }
    figure(kArea, "setupstub with " + c.input,
           c.note + seen +
               "the installer ran to its end, status 3 passed on, no crash; "
               "descriptors 0 and 1: setupstub's " +
               setupIn + " and " + setupOut + ", the installer's " + childIn +
               " (the forwarded input) and " + childOut,
           "temporary directory removed");
  }
}

TEST_F(ProcessReliability, AppstubWithStandardOutputClosed) {
  const std::string bundle =
      makeAppBundle(dir / "Apps", "Probe.app",
                    dict({{"CFBundleName", str("Probe")},
                          {"JavaVM", dict({{"MainClass", str("Probe")},
                                           {"ClassPath", str(QMK_JAVA_CLASSES)},
                                           {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}}));
  const std::string program = bundle + "/Contents/MacOS/Probe";
  fs::copy_file(QMK_APPSTUB, program);
  struct Case {
    std::string input;
    Spawned::Output output;
    std::string note;
  };
  const Case cases[] = {
      {"standard output closed (descriptor 1 not open)", Spawned::Output::kClosed,
       "appstub put /dev/null on descriptor 1 (before, the JVM in its process got a file it "
       "opened, lib/modules, as its standard output); "},
      {"standard output a pipe whose reader has gone", Spawned::Output::kBrokenPipe,
       "the application's writes failed unseen (the JVM ignores SIGPIPE); "}};
  for (const auto& c : cases) {
    Env env = {{"QMK_TEST_JDK", QMK_JAVA_HOME}, {"HOME", home}};
    Spawned app({program, "pid", "sleep=1000", "exit=5"}, env, {.output = c.output});
    ASSERT_TRUE(app.waitForError("pid=")) << c.input << app.err();
    EXPECT_EQ(pidFrom(app.err()), app.pid()) << "the application runs in appstub's own process";
    const std::string out = descriptorTarget(app.pid(), 1);
    RunResult r = app.finish();
    EXPECT_EQ(r.status, 5) << c.input << r.err;
    if (c.output == Spawned::Output::kClosed) {
      EXPECT_EQ(out, "/dev/null") << c.input << ": not a file the JVM opened";
    }
    figure(kArea, "appstub with " + c.input,
           c.note +
               "the application ran to its end, status 5 passed on, no crash; its "
               "descriptor 1: " +
               out,
           "nothing written anywhere by its output");
  }
}

}  // namespace
