// The outside programs qmk-bundle runs (jdeps, jlink, tar, sha256sum): started as children
// through platform::Process, their output kept so that a failure can quote it; and the progress
// line shown for the slow ones.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bundler {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `program` with `arguments`; Failure when it cannot be started at all.
ToolResult runTool(const std::string& program, const std::vector<std::string>& arguments);
// Runs it and raises Failure ("<what> failed (status n): <its error output>") unless it exits 0;
// returns its standard output.
std::string runToolOrFail(const std::string& what, const std::string& program,
                          const std::vector<std::string>& arguments);

// "qmk-bundle: <step>..." while a slow step runs and "done (1.2 s)" after it, on standard error,
// only when standard error is a terminal: in scripts and logs it would be noise.
class ProgressLine {
 public:
  explicit ProgressLine(const std::string& step);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  bool shown_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace bundler
