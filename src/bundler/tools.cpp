#include "bundler/tools.h"

#include <cstdlib>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "bundler/failure.h"
#include "platform/exception.h"
#include "platform/file_manager.h"
#include "platform/process.h"

namespace bundler {

namespace {

// A private directory for one child's output files, removed with them.
class OutputFiles {
 public:
  OutputFiles() {
    auto made = platform::createUniqueDirectory("qmk-bundle-tool");
    if (!made) throw Failure("cannot create a temporary directory in " + platform::temporaryDirectory());
    dir_ = *made;
  }
  ~OutputFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;
  std::string out() const { return dir_ + "/out"; }
  std::string err() const { return dir_ + "/err"; }

 private:
  std::string dir_;
};

std::string lastLines(const std::string& text, size_t count) {
  size_t at = text.size();
  while (at > 0 && (text[at - 1] == '\n' || text[at - 1] == ' ')) --at;
  size_t end = at;
  for (size_t found = 0; at > 0; --at) {
    if (text[at - 1] == '\n' && ++found == count) break;
  }
  return text.substr(at, end - at);
}

}  // namespace

ToolResult runTool(const std::string& program, const std::vector<std::string>& arguments,
                   const ToolSetting& setting) {
  OutputFiles files;
  platform::Process::Options options;
  options.path = program;
  options.arguments = arguments;
  options.standardOutputFile = files.out();
  options.standardErrorFile = files.err();
  options.workingDirectory = setting.workingDirectory;
  options.environmentOverrides = setting.environment;
  ToolResult result;
  try {
    platform::Process child = platform::Process::launch(options);
    result.status = child.waitUntilExit();
  } catch (const platform::Exception& error) {
    throw Failure(error.reason() + ".");
  }
  platform::FileManager fileManager;
  result.out = fileManager.readFile(files.out()).value_or("");
  result.err = fileManager.readFile(files.err()).value_or("");
  return result;
}

std::string runToolOrFail(const std::string& what, const std::string& program,
                          const std::vector<std::string>& arguments,
                          const ToolSetting& setting) {
  ToolResult result = runTool(program, arguments, setting);
  if (result.status != 0) {
    std::string said = lastLines(result.err.empty() ? result.out : result.err, 6);
    throw Failure(what + " failed (" + program + ", status " + std::to_string(result.status) +
                  ")" + (said.empty() ? "." : ":\n" + said));
  }
  return result.out;
}

std::string programInPath(const std::string& program, const std::string& debianPackage) {
  const char* path = std::getenv("PATH");
  std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = platform::joinPath(
        start == end ? "." : folders.substr(start, end - start), program);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw Failure(program + " is not installed (it is not in PATH). Install it: apt-get install " +
                debianPackage + ".");
}

ProgressLine::ProgressLine(const std::string& step)
    : shown_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {
  if (shown_) {
    std::fprintf(stderr, "qmk-bundle: %s... ", step.c_str());
    std::fflush(stderr);
  }
}

ProgressLine::~ProgressLine() {
  if (!shown_) return;
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_);
  std::fprintf(stderr, "done (%.1f s)\n", elapsed.count());
}

}  // namespace bundler
