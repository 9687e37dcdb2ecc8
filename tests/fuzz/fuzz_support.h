// Helpers shared by the fuzz targets: temporary directories, splitting an input into parts, and
// the check that ends a run when an invariant fails (so that libFuzzer keeps the input).
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/Launcher.h"
#include "platform/bundle.h"
#include "platform/system_layout.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::fail(__FILE__, __LINE__, #condition))

// A fresh directory (its real path), removed with everything in it when the object goes away.
class TempDir {
 public:
  explicit TempDir(const char* prefix = "qmk-fuzz") {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail(__FILE__, __LINE__, "mkdtemp");
    path_ = std::filesystem::canonical(pattern).string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at every occurrence of `separator`, into at most `limit` parts (the last part
// keeps any further separators).
inline std::vector<std::string> split(std::string_view input, char separator, size_t limit) {
  std::vector<std::string> parts;
  while (parts.size() + 1 < limit) {
    size_t at = input.find(separator);
    if (at == std::string_view::npos) break;
    parts.emplace_back(input.substr(0, at));
    input.remove_prefix(at + 1);
  }
  parts.emplace_back(input);
  return parts;
}

inline void writeFile(const std::string& path, std::string_view content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) fail(__FILE__, __LINE__, "cannot write a fuzz input file");
  if (!content.empty()) std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

// A launcher around an empty application bundle `<dir>/Fuzz.app`, with `dir` as home directory
// and notices discarded.
inline std::unique_ptr<Launcher> makeLauncher(const std::string& dir) {
  std::filesystem::create_directories(dir + "/Fuzz.app/Contents/MacOS");
  LaunchContext context;
  context.mainBundle = platform::Bundle::create(dir + "/Fuzz.app");
  if (!context.mainBundle) fail(__FILE__, __LINE__, "no bundle");
  context.arguments = {dir + "/Fuzz.app/Contents/MacOS/Fuzz"};
  context.layout = platform::SystemLayout::forLinux();
  context.homeDirectory = dir;
  context.showNotice = [](const std::optional<std::string>&, const std::string&) {};
  return std::make_unique<Launcher>(std::move(context));
}

}  // namespace fuzz
