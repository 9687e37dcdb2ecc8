// The outside programs qmk-bundle runs (jdeps, jlink, tar, sha256sum): started as children
// through platform::Process, their output kept so that a failure can quote it; and the progress
// line shown for the slow ones.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bundler {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Where and with what environment a tool runs (by default: here, with ours).
struct ToolSetting {
  std::optional<std::string> workingDirectory;
  std::map<std::string, std::string> environment;  // set or replaced on top of ours
};

// Runs `program` with `arguments`; Failure when it cannot be started at all.
ToolResult runTool(const std::string& program, const std::vector<std::string>& arguments,
                   const ToolSetting& setting = {});
// Runs it and raises Failure ("<what> failed (status n): <its error output>") unless it exits 0;
// returns its standard output.
std::string runToolOrFail(const std::string& what, const std::string& program,
                          const std::vector<std::string>& arguments,
                          const ToolSetting& setting = {});

// The path of `program` in PATH; Failure saying to install `debianPackage` when it is missing.
std::string programInPath(const std::string& program, const std::string& debianPackage);

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
