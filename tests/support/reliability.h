// What the reliability scenarios share: the figure lines they record, and snapshots of the
// directory tree around a destination, to show that nothing outside it was written.
//
// When QMK_FIGURES names a file, figure() appends one line "area|input|what happened|what held"
// to it; scripts/reliability turns those lines into docs/reliability.md.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

inline void figure(const std::string& area, const std::string& input, const std::string& outcome,
                   const std::string& held) {
  for (const std::string* field : {&area, &input, &outcome, &held}) {
    if (field->find_first_of("|\n") != std::string::npos) {
      throw std::invalid_argument("a figure field holds '|' or a line break: " + *field);
    }
  }
  const char* path = std::getenv("QMK_FIGURES");
  if (path == nullptr || *path == '\0') return;
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s|%s|%s|%s\n", area.c_str(), input.c_str(), outcome.c_str(), held.c_str());
    std::fclose(file);
  }
}

// 1234567 as "1,234,567".
inline std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// A duration in seconds with `decimals` digits after the point.
inline std::string secondsText(double seconds, int decimals = 1) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f s", decimals, seconds);
  return text;
}

class Stopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Everything below a root as it stands: per relative path its type, permissions, link count,
// size, modification time, and the link target or a digest of the content. Links are not
// followed. Paths under `skipped` (relative, with everything below them) are left out.
class TreeSnapshot {
 public:
  static TreeSnapshot of(const std::string& root, const std::set<std::string>& skipped = {}) {
    namespace fs = std::filesystem;
    TreeSnapshot snapshot;
    snapshot.entries_[""] = describe(root);
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      const std::string relative = it->path().lexically_relative(root).string();
      if (skipped.count(relative)) {
        it.disable_recursion_pending();
        continue;
      }
      snapshot.entries_[relative] = describe(it->path().string());
    }
    if (error) throw std::runtime_error("cannot walk " + root + ": " + error.message());
    return snapshot;
  }

  size_t size() const { return entries_.size(); }

  // The paths that differ (added, removed or changed), each with what it was and is.
  std::vector<std::string> differences(const TreeSnapshot& after) const {
    std::vector<std::string> out;
    for (const auto& [path, before] : entries_) {
      auto found = after.entries_.find(path);
      if (found == after.entries_.end()) {
        out.push_back("removed: " + path);
      } else if (found->second != before) {
        out.push_back("changed: " + path + " (" + before + " -> " + found->second + ")");
      }
    }
    for (const auto& [path, now] : after.entries_) {
      if (!entries_.count(path)) out.push_back("added: " + path + " (" + now + ")");
    }
    return out;
  }

 private:
  static std::string describe(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "gone";
    std::string text = std::to_string(st.st_mode) + " n" + std::to_string(st.st_nlink) + " s" +
                       std::to_string(st.st_size) + " t" + std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec);
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
      ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      text += " -> " + std::string(target.data(), n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      text += " #" + std::to_string(std::hash<std::string>()(readFile(path)));
    }
    return text;
  }

  std::map<std::string, std::string> entries_;
};

// Lines joined for a failure message.
inline std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

}  // namespace testing_support
