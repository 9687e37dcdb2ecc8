// A program started in the background for tests that need it running while they do other
// things: its standard input is a pipe the test closes to let it end, its output goes to files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

class BackgroundProcess {
 public:
  // Output goes to `<outputPrefix>.out` and `<outputPrefix>.err`.
  BackgroundProcess(const std::vector<std::string>& args, const std::string& outputPrefix,
                    const std::map<std::string, std::optional<std::string>>& env = {},
                    const std::optional<std::string>& workingDirectory = std::nullopt)
      : outPath_(outputPrefix + ".out"), errPath_(outputPrefix + ".err") {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in[0], 0);
      dup2(out, 1);
      dup2(err, 2);
      signal(SIGPIPE, SIG_DFL);
      for (const auto& [k, v] : env) {
        if (v) {
          setenv(k.c_str(), v->c_str(), 1);
        } else {
          unsetenv(k.c_str());
        }
      }
      if (workingDirectory && chdir(workingDirectory->c_str()) != 0) _exit(126);
      std::vector<char*> cargs;
      for (const auto& a : args) cargs.push_back(const_cast<char*>(a.c_str()));
      cargs.push_back(nullptr);
      execv(cargs[0], cargs.data());
      _exit(127);
    }
    close(in[0]);
    input_ = in[1];
  }

  ~BackgroundProcess() {
    closeInput();
    if (!status_) {
      kill(pid_, SIGKILL);
      wait();
    }
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }

  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // The exit status (128 + signal when killed) once it has ended; absent while it runs.
  std::optional<int> poll() {
    if (!status_) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) status_ = decode(raw);
    }
    return status_;
  }

  // Waits for the end, at most `limit`; absent when it still runs then.
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!poll() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }

  std::string out() const { return readFile(outPath_); }
  std::string err() const { return readFile(errPath_); }

 private:
  static int decode(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }

  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
};

// Waits until `condition` holds, at most `limit`; returns whether it did.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testing_support
