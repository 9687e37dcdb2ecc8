// Stand-ins for class-path archives whose path the runtime's class loader would percent-encode.
//
// Runtimes before 24 decide whether a class loaded while dumping came from a class-path entry by
// comparing the entry's path with the class's location as the class loader wrote it: a file URL
// of the real path, percent-encoded. A blank ("My App.app") or a non-ASCII letter makes the two
// differ, and the class is then archived as one of an unknown loader, which no start ever uses.
// The dump therefore reads such an entry under a name without those characters. The archive
// remembers that name and checks at every start that it is the same file as the class-path entry
// of that start, with the size and time it had; a symbolic link to the entry passes, and the
// runtime resolves it when it names the classes' location, so the application sees its own path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "launcher/startup_cache.h"

namespace qmk::cache {
namespace {

// From this runtime on, locations are decoded before they are compared.
constexpr int32_t kFirstDecodingRuntime = 24;

// Characters a file URL carries as they are. Anything else may be encoded; a stand-in for an
// entry that did not need one costs a link and changes nothing the application sees.
bool keptInLocation(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("/._-~+,@").find(static_cast<char>(c)) != std::string_view::npos;
}

bool encodedInLocation(std::string_view path) { return !spelledAsIsInFileUrl(path); }

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// The archive's bytes under a second name, with the size and modification time the runtime
// records for it.
bool copyWithTimes(const std::string& from, const std::string& to) {
  std::error_code error;
  if (!std::filesystem::copy_file(from, to, error)) return false;
  struct stat st {};
  if (stat(from.c_str(), &st) != 0) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return utimensat(AT_FDCWD, to.c_str(), times, 0) == 0;
}

}  // namespace

bool spelledAsIsInFileUrl(std::string_view path) {
  for (unsigned char c : path) {
    if (!keptInLocation(c)) return false;
  }
  return true;
}

std::optional<StandIns> planStandIns(const std::string& folder, const std::string& classPath,
                                     int32_t javaMajorVersion) {
  if (javaMajorVersion >= kFirstDecodingRuntime) return std::nullopt;
  StandIns plan;
  plan.folder = folder;
  std::string_view rest = classPath;
  for (size_t index = 0;; index++) {
    const size_t end = rest.find(':');
    const std::string entry(rest.substr(0, end));
    std::string used = entry;
    // A directory's archives ("dir/*") are listed by the runtime itself; they keep their path.
    const bool wildcard = entry == "*" || entry.ends_with("/*");
    std::optional<std::string> real = wildcard || entry.empty() ? std::nullopt : realPath(entry);
    if (real && encodedInLocation(*real)) {
      used = folder + "/" + std::to_string(index) + ".jar";
      plan.entries.push_back(StandIn{used, *real});
    }
    plan.dumpClassPath += (index > 0 ? ":" : "") + used;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  // The runtime resolves the stand-in's folder as well; a cache folder whose own path would be
  // encoded cannot hold one.
  const std::string parent = folder.substr(0, folder.rfind('/'));
  if (plan.entries.empty() ||
      encodedInLocation(realPath(parent).value_or(parent) + folder.substr(parent.size()))) {
    return std::nullopt;
  }
  return plan;
}

bool standInsInPlace(const StandIns& standIns) {
  for (const StandIn& entry : standIns.entries) {
    std::error_code error;
    if (!std::filesystem::is_symlink(entry.path, error) ||
        std::filesystem::read_symlink(entry.path, error) != entry.target || error) {
      return false;
    }
  }
  return true;
}

bool makeStandIns(const StandIns& standIns) {
  removeStandIns(standIns);
  const std::string base = standIns.folder.substr(0, standIns.folder.rfind('/'));
  if ((mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) ||
      mkdir(standIns.folder.c_str(), 0700) != 0) {
    return false;
  }
  for (const StandIn& entry : standIns.entries) {
    // A hard link is free; another owner's file or another file system needs the copy.
    if (link(entry.target.c_str(), entry.path.c_str()) != 0 &&
        !copyWithTimes(entry.target, entry.path)) {
      return false;
    }
  }
  return true;
}

bool linkStandInsToTargets(const StandIns& standIns) {
  for (const StandIn& entry : standIns.entries) {
    const std::string link = entry.path + ".link";
    unlink(link.c_str());
    if (symlink(entry.target.c_str(), link.c_str()) != 0 ||
        rename(link.c_str(), entry.path.c_str()) != 0) {
      return false;
    }
  }
  return true;
}

void removeStandIns(const StandIns& standIns) {
  std::error_code error;
  std::filesystem::remove_all(standIns.folder, error);
}

}  // namespace qmk::cache
