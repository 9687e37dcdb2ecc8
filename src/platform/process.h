// Child processes: started with an argument array (never through a shell), optionally with a
// pipe for standard input; the termination status is the exit code of a normal exit, or the
// signal number of a child ended by a signal.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Process {
 public:
  struct Options {
    std::string path;                    // the program to run
    std::vector<std::string> arguments;  // argv[1..]; argv[0] is `path`
    bool pipeStandardInput = false;      // otherwise the child inherits ours
    std::optional<std::string> workingDirectory;
    // Standard output and error both go to this file (created or emptied) instead of ours.
    std::optional<std::string> outputFile;
    // Variables to set (or replace) in the child's environment, on top of ours.
    std::map<std::string, std::string> environmentOverrides;
    // Files that receive the child's standard output and error (created or emptied, mode 0600)
    // instead of ours, so that a caller can read what a tool printed after it ended.
    std::optional<std::string> standardOutputFile;
    std::optional<std::string> standardErrorFile;
  };

  // Starts the child; raises platform::Exception ("ProcessLaunchError") when it cannot be
  // started (missing, not executable).
  static Process launch(const Options& options);

  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();  // closes the pipe; waits for the child if it was not waited for

  pid_t pid() const { return pid_; }
  // The write end of the standard-input pipe, or -1.
  int standardInput() const { return stdinFd_; }
  void closeStandardInput();
  // Waits for the child and returns its termination status.
  int waitUntilExit();
  // Waits at most `milliseconds`; absent when the child is still running then.
  std::optional<int> waitUntilExit(int milliseconds);
  // Kills the child (SIGKILL) and waits for it; returns its termination status.
  int terminate();

 private:
  Process(pid_t pid, int stdinFd) : pid_(pid), stdinFd_(stdinFd) {}
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> status_;
};

// Opens /dev/null on each standard descriptor (input, output, error) the process was started
// without. Call first thing: otherwise the next descriptor the program opens for itself takes
// that number and is read or written as a standard stream (by a thread forwarding input, by the
// runtime, by a child that inherits it).
void openMissingStandardDescriptors();

}  // namespace platform
