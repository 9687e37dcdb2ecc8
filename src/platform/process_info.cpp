#include "platform/process_info.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/environment.h"
#include "platform/file_manager.h"

namespace platform {

std::vector<std::string> processArguments() {
  std::string all = FileManager().readFile("/proc/self/cmdline").value_or("");
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

std::string executablePath() {
  // readlink itself: std::filesystem's reading looks at the link once more to size its buffer.
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return std::string();
  return std::string(path, static_cast<size_t>(length));
}

namespace {

// Where a shell finds a command name: the first executable regular file of that name in a PATH
// entry (an empty entry is the current directory).
std::string searchPath(const std::string& name) {
  const std::string path = environmentValue("PATH").value_or("");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = joinPath(absolutePath(path.substr(start, end - start)), name);
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

}  // namespace

std::string startedProgramPath() {
  std::vector<std::string> args = processArguments();
  if (args.empty() || args[0].empty()) return std::string();
  const std::string& name = args[0];
  std::string path = name.find('/') == std::string::npos ? searchPath(name) : absolutePath(name);
  return path.empty() ? path : std::filesystem::path(path).lexically_normal().string();
}

}  // namespace platform
