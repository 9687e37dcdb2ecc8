// The startup cache's files: how complete archives are named, recognised and replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "launcher/startup_cache.h"

namespace qmk::cache {
namespace {

constexpr std::string_view kArchiveSuffix = ".jsa";
constexpr std::string_view kClassListSuffix = ".classlist";
constexpr std::string_view kPartSuffix = ".jsa.part";
// The folder of an archive's stand-ins: "<runtimeTag>-<key>.paths".
constexpr std::string_view kStandInsSuffix = ".paths";
constexpr time_t kAbandonedAfterSeconds = 24 * 60 * 60;
// The first bytes of a static class-data archive as the runtimes write it (little-endian
// 0xf00baba2: a2 ab 0b f0); a dynamic archive or anything else does not match.
constexpr std::array<unsigned char, 4> kArchiveMagic = {0xa2, 0xab, 0x0b, 0xf0};
// No runtime's archive header is shorter than this.
constexpr off_t kSmallestArchive = 4096;

struct NameParts {
  uint64_t size = 0;
  int64_t modifiedNs = 0;
};

template <typename T>
bool parseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// "<prefix><size>-<mtime>.jsa", where prefix is "<runtimeTag>-<key>-".
std::optional<NameParts> parseArchiveName(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix) || !name.ends_with(kArchiveSuffix)) return std::nullopt;
  name.remove_prefix(prefix.size());
  name.remove_suffix(kArchiveSuffix.size());
  size_t dash = name.find('-');
  NameParts parts;
  if (dash == std::string_view::npos || !parseNumber(name.substr(0, dash), parts.size) ||
      !parseNumber(name.substr(dash + 1), parts.modifiedNs)) {
    return std::nullopt;
  }
  return parts;
}

int64_t modifiedNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool matchesName(const std::string& path, const NameParts& parts) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    return false;
  }
  return st.st_size >= kSmallestArchive && static_cast<uint64_t>(st.st_size) == parts.size &&
         modifiedNs(st) == parts.modifiedNs && hasArchiveHeader(path);
}

// A record or a part-built archive left by a builder that was killed: no build takes a day.
bool isAbandoned(const std::filesystem::path& path, const std::string& name) {
  if (!name.ends_with(kClassListSuffix) && !name.ends_with(kPartSuffix)) return false;
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && st.st_mtime + kAbandonedAfterSeconds < time(nullptr);
}

std::string prefixOf(const std::string& runtimeTag, const std::string& key) {
  return runtimeTag + "-" + key + "-";
}

}  // namespace

std::string archiveName(const std::string& runtimeTag, const std::string& key, uint64_t size,
                        int64_t modified) {
  return prefixOf(runtimeTag, key) + std::to_string(size) + "-" + std::to_string(modified) +
         std::string(kArchiveSuffix);
}

std::string standInFolder(const std::string& base, const std::string& runtimeTag,
                          const std::string& key) {
  return base + "/" + runtimeTag + "-" + key + std::string(kStandInsSuffix);
}

bool hasArchiveHeader(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::array<unsigned char, 4> head{};
  bool matches = read(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                 head == kArchiveMagic;
  close(fd);
  return matches;
}

std::optional<std::string> findArchive(const std::string& directory,
                                       const std::string& runtimeTag, const std::string& key,
                                       bool removeInvalid) {
  const std::string prefix = prefixOf(runtimeTag, key);
  std::optional<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (removeInvalid && name.starts_with(runtimeTag + "-") && isAbandoned(entry.path(), name)) {
      unlink(entry.path().c_str());
      continue;
    }
    if (!name.starts_with(prefix) || !name.ends_with(kArchiveSuffix)) continue;
    std::optional<NameParts> parts = parseArchiveName(name, prefix);
    const std::string path = entry.path().string();
    if (!found && parts && matchesName(path, *parts)) {
      found = path;
    } else if (removeInvalid) {
      // Cut, changed or doubled: never used, and out of the way of the one that replaces it.
      unlink(path.c_str());
    }
  }
  return found;
}

void removeOtherArchives(const std::string& directory, const std::string& standInBase,
                         const std::string& runtimeTag, const std::string& keep) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name != keep && name.starts_with(runtimeTag + "-") && name.ends_with(kArchiveSuffix)) {
      unlink(entry.path().c_str());
    }
  }
  std::vector<std::filesystem::path> others;
  for (const auto& entry : std::filesystem::directory_iterator(standInBase, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(runtimeTag + "-") && name.ends_with(kStandInsSuffix) &&
        !keep.starts_with(name.substr(0, name.size() - kStandInsSuffix.size()) + "-")) {
      others.push_back(entry.path());
    }
  }
  // Not while the folder is being read.
  for (const auto& folder : others) std::filesystem::remove_all(folder, error);
}

}  // namespace qmk::cache
