#include "platform/process_info.h"

#include <filesystem>
#include <system_error>

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
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace platform
