// Child processes: argument arrays passed verbatim, standard input through a pipe, termination
// status, launch failures.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/exception.h"
#include "support/test_support.h"

using namespace testing_support;
using platform::Process;

namespace {

Process::Options shell(const std::string& script, std::vector<std::string> args = {}) {
  Process::Options options;
  options.path = "/bin/sh";
  options.arguments = {"-c", script, "sh"};
  options.arguments.insert(options.arguments.end(), args.begin(), args.end());
  return options;
}

int statusOf(const Process::Options& options) { return Process::launch(options).waitUntilExit(); }

TEST(ProcessTest, TerminationStatusIsTheExitCodeOrTheSignal) {
  EXPECT_EQ(statusOf(shell("exit 0")), 0);
  EXPECT_EQ(statusOf(shell("exit 3")), 3);
  EXPECT_EQ(statusOf(shell("kill -TERM $$")), SIGTERM);
  EXPECT_EQ(statusOf(shell("kill -KILL $$")), SIGKILL);
  auto process = Process::launch(shell("exit 7"));
  EXPECT_EQ(process.waitUntilExit(), 7);
  EXPECT_EQ(process.waitUntilExit(), 7) << "a second wait repeats the status";
}

TEST(ProcessTest, OutputFileTakesBothStreams) {
  TempDir tmp;
  auto options = shell("echo out; echo err >&2");
  options.outputFile = tmp / "output";
  EXPECT_EQ(statusOf(options), 0);
  EXPECT_EQ(readFile(tmp / "output"), "out\nerr\n");
}

TEST(ProcessTest, ABoundedWaitLeavesARunningChildAndTerminateEndsIt) {
  auto process = Process::launch(shell("exec sleep 60"));
  EXPECT_EQ(process.waitUntilExit(50), std::nullopt);
  EXPECT_EQ(process.terminate(), SIGKILL);
  EXPECT_EQ(process.waitUntilExit(0), SIGKILL);
  auto quick = Process::launch(shell("exit 4"));
  EXPECT_EQ(quick.waitUntilExit(60000), 4);
}

TEST(ProcessTest, ArgumentsReachTheChildVerbatim) {
  TempDir tmp;
  std::vector<std::string> args = {"a b", "$HOME", "\"quoted\"", "*", "", "semi;colon"};
  std::vector<std::string> all{tmp / "out"};
  all.insert(all.end(), args.begin(), args.end());
  EXPECT_EQ(statusOf(shell("out=$1; shift; printf '[%s]\\n' \"$@\" > \"$out\"", all)), 0);
  EXPECT_EQ(readFile(tmp / "out"), "[a b]\n[$HOME]\n[\"quoted\"]\n[*]\n[]\n[semi;colon]\n");
}

TEST(ProcessTest, StandardInputThroughAPipe) {
  TempDir tmp;
  auto options = shell("cat > \"$1\"", {tmp / "in"});
  options.pipeStandardInput = true;
  auto process = Process::launch(options);
  ASSERT_GE(process.standardInput(), 0);
  std::string text = "line one\nline two\n";
  ASSERT_EQ(::write(process.standardInput(), text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  process.closeStandardInput();
  EXPECT_EQ(process.standardInput(), -1);
  EXPECT_EQ(process.waitUntilExit(), 0);
  EXPECT_EQ(readFile(tmp / "in"), text);

  auto inherits = shell("exit 0");
  EXPECT_EQ(Process::launch(inherits).standardInput(), -1);
}

TEST(ProcessTest, WritingToAChildThatIsGoneFailsWithoutEndingUs) {
  auto options = shell("exit 0");
  options.pipeStandardInput = true;
  auto process = Process::launch(options);
  EXPECT_EQ(process.waitUntilExit(), 0);
  EXPECT_EQ(::write(process.standardInput(), "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST(ProcessTest, ChildStartsWithSigpipeAtItsDefault) {
  TempDir tmp;
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(statusOf(shell("grep SigIgn /proc/$$/status > \"$1\"", {tmp / "status"})), 0);
  std::string line = readFile(tmp / "status");
  ASSERT_TRUE(line.starts_with("SigIgn:")) << line;
  unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << line;
}

TEST(ProcessTest, WorkingDirectoryAndEnvironment) {
  TempDir tmp;
  makeDirectories(tmp / "work");
  auto options =
      shell("pwd > \"$1\"; printf '%s|%s\\n' \"$QMK_ONE\" \"$HOME\" >> \"$1\"", {tmp / "out"});
  options.workingDirectory = tmp / "work";
  options.environmentOverrides = {{"QMK_ONE", "1"}, {"HOME", "/elsewhere"}};
  EXPECT_EQ(statusOf(options), 0);
  EXPECT_EQ(readFile(tmp / "out"), tmp / "work" + "\n1|/elsewhere\n");
}

TEST(ProcessTest, RelativeProgramPathsUseOurDirectory) {
  TempDir tmp;
  writeFile(tmp / "bin/tool", "#!/bin/sh\nexit 5\n", 0755);
  makeDirectories(tmp / "elsewhere");
  ScopedCurrentDirectory cwd(tmp.path());
  Process::Options options;
  options.path = "bin/tool";
  options.workingDirectory = tmp / "elsewhere";
  EXPECT_EQ(statusOf(options), 5);
}

TEST(ProcessTest, LaunchFailuresNameThePathAndTheReason) {
  TempDir tmp;
  writeFile(tmp / "plain", "not a program", 0644);
  makeDirectories(tmp / "dir");
  const std::pair<std::string, std::string> cases[] = {
      {tmp / "missing", "No such file or directory"},
      {tmp / "plain", "Permission denied"},
      {tmp / "dir", "Permission denied"},
  };
  for (const auto& [path, reason] : cases) {
    Process::Options options;
    options.path = path;
    try {
      Process::launch(options);
      ADD_FAILURE() << path << " started";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "ProcessLaunchError");
      EXPECT_NE(e.reason().find(path), std::string::npos) << e.reason();
      EXPECT_NE(e.reason().find(reason), std::string::npos) << e.reason();
    }
  }
  auto options = shell("exit 0");
  options.workingDirectory = tmp / "no-such-dir";
  EXPECT_THROW(Process::launch(options), platform::Exception);
}

TEST(ProcessTest, MovedProcessIsWaitedForOnce) {
  auto first = Process::launch(shell("exit 4"));
  pid_t pid = first.pid();
  Process second = std::move(first);
  EXPECT_EQ(second.pid(), pid);
  EXPECT_EQ(second.waitUntilExit(), 4);
}

// Started without standard input or output, setupstub's own wake-up pipe took descriptor 0
// (its input-forwarding thread then read from it) and the installer's runtime got a file it
// opened for itself as its standard output: the missing descriptors are /dev/null instead.
TEST(ProcessTest, MissingStandardDescriptorsBecomeDevNull) {
  auto devNull = [](int fd) {
    char target[32] = {};
    return ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) >
               0 &&
           std::string(target) == "/dev/null";
  };
  for (const std::vector<int>& closed :
       std::vector<std::vector<int>>{{0}, {1}, {0, 1}, {0, 1, 2}}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int fd : closed) ::close(fd);
      platform::openMissingStandardDescriptors();
      bool ok = ::open("/dev/zero", O_RDONLY) > 2;  // what the program opens next goes elsewhere
      for (int fd : closed) {
        const int access = ::fcntl(fd, F_GETFL) & O_ACCMODE;
        ok = ok && devNull(fd) && access == (fd == 0 ? O_RDONLY : O_WRONLY);
      }
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "closed: " << closed.size();
  }
}

}  // namespace
