// The two ways a subcommand fails: a usage error (exit status 2: the command line itself is
// wrong) and a failure (exit status 1: the command line was fine, the work could not be done).
// Both carry a message that names the file concerned and what to do about it.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace bundler {

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Runs `work` for subcommand `command` and turns what it raises into one line on standard error
// ("qmk-bundle create: ...") and the exit status.
int runReporting(const std::string& command, const std::function<int()>& work);

// A line "qmk-bundle <command>: warning: <text>" on standard error.
void warn(const std::string& command, const std::string& text);

}  // namespace bundler
