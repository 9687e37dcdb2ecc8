#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/exception.h"
#include "platform/file_manager.h"
#include "platform/format.h"

namespace platform {

namespace {

constexpr const char* kLaunchError = "ProcessLaunchError";

// posix_spawn's attribute and file-action objects, released on every way out.
class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attr_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

[[noreturn]] void raiseLaunchError(const std::string& path, int error) {
  throw Exception(kLaunchError, format("cannot start %@: %s", path, std::strerror(error)));
}

// "NAME=value" entries: ours, with the overrides replacing or adding variables.
std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string name(text.substr(0, text.find('=')));
    if (!overrides.contains(name)) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

Process Process::launch(const Options& options) {
  // A relative program path means the same thing whatever the child's working directory is.
  std::string path = absolutePath(options.path);
  std::vector<std::string> argvStrings{path};
  argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv = pointers(argvStrings);
  std::vector<std::string> envStrings = childEnvironment(options.environmentOverrides);
  std::vector<char*> envp = pointers(envStrings);

  SpawnAttributes attributes;
  // The child starts with SIGPIPE at its default and nothing blocked, whatever this thread has.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  ::posix_spawnattr_setsigmask(attributes.get(), &empty);
  ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  SpawnFileActions actions;
  int input[2] = {-1, -1};
  if (options.pipeStandardInput) {
    // Writing to a child that has gone must give an error, not end this process.
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(input, O_CLOEXEC) != 0) raiseLaunchError(path, errno);
    ::posix_spawn_file_actions_adddup2(actions.get(), input[0], STDIN_FILENO);
  }
  if (options.outputFile) {
    ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, options.outputFile->c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
  }
  if (options.standardOutputFile) {
    ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO,
                                       options.standardOutputFile->c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (options.standardErrorFile) {
    ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO,
                                       options.standardErrorFile->c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (options.workingDirectory) {
    ::posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory->c_str());
  }

  pid_t pid = -1;
  int error =
      ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
  if (input[0] >= 0) ::close(input[0]);
  if (error != 0) {
    if (input[1] >= 0) ::close(input[1]);
    raiseLaunchError(path, error);
  }
  return Process(pid, input[1]);
}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), stdinFd_(other.stdinFd_), status_(other.status_) {
  other.pid_ = -1;
  other.stdinFd_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    closeStandardInput();
    if (pid_ > 0 && !status_) waitUntilExit();
    pid_ = other.pid_;
    stdinFd_ = other.stdinFd_;
    status_ = other.status_;
    other.pid_ = -1;
    other.stdinFd_ = -1;
  }
  return *this;
}

Process::~Process() {
  closeStandardInput();
  if (pid_ > 0 && !status_) waitUntilExit();
}

void Process::closeStandardInput() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

namespace {

// The termination status of a waitpid result: the exit code, the signal, or -1 when the status
// is lost (someone else reaped the child).
int terminationStatus(pid_t result, pid_t pid, int raw) {
  if (result != pid) return -1;
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return WTERMSIG(raw);
  return -1;
}

}  // namespace

std::optional<int> Process::waitUntilExit(int milliseconds) {
  if (status_) return status_;
  if (pid_ <= 0) return -1;
  constexpr int kStepMilliseconds = 10;
  for (int waited = 0;; waited += kStepMilliseconds) {
    int raw = 0;
    pid_t result = ::waitpid(pid_, &raw, WNOHANG);
    if (result < 0 && errno == EINTR) continue;
    if (result != 0) {
      status_ = terminationStatus(result, pid_, raw);
      return status_;
    }
    if (waited >= milliseconds) return std::nullopt;
    ::usleep(kStepMilliseconds * 1000);
  }
}

int Process::terminate() {
  if (!status_ && pid_ > 0) ::kill(pid_, SIGKILL);
  return waitUntilExit();
}

int Process::waitUntilExit() {
  if (status_) return *status_;
  if (pid_ <= 0) return -1;
  int raw = 0;
  pid_t result;
  while ((result = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
  }
  // -1 when the status is lost (someone else reaped the child).
  if (result != pid_) {
    status_ = -1;
  } else if (WIFEXITED(raw)) {
    status_ = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status_ = WTERMSIG(raw);
  } else {
    status_ = -1;
  }
  return *status_;
}

void openMissingStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one, those below it being open by now.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened > fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace platform
