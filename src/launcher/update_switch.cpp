#include "launcher/update_switch.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "launcher/global.h"
#include "launcher/update_state.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"
#include "platform/unique_fd.h"

namespace qmk::update {
namespace {

constexpr const char* kVersionKey = "CFBundleShortVersionString";
constexpr const char* kExecutableKey = "CFBundleExecutable";
// What a switch leaves for the launcher it re-executes. The pid stays the same across the
// exec, so markers inherited from some other start never match.
constexpr const char* kMarkerPid = "QMK_SWITCH_PID";
constexpr const char* kMarkerVersion = "QMK_SWITCH_VERSION";
constexpr const char* kMarkerBundle = "QMK_SWITCH_BUNDLE";

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

// The bundle and the hidden names beside it, all in one folder (one file system, so that every
// step is a rename).
struct Siblings {
  std::string bundlePath;
  std::string parent;
  std::string name;
  std::string update;    // a staged, verified new version
  std::string previous;  // the version before the last switch
  std::string trash;     // a folder on its way out: renamed here first, then deleted

  explicit Siblings(const std::string& path)
      : bundlePath(path),
        parent(platform::deletingLastPathComponent(path)),
        name(platform::lastPathComponent(path)),
        update("." + name + ".update"),
        previous("." + name + ".previous"),
        trash("." + name + ".trash") {}
  std::string at(const std::string& sibling) const { return platform::joinPath(parent, sibling); }
};

bool takesPartInUpdates(const plist::Value& info) {
  return !info[kUpdateUrlKey].isNull() && !info[kUpdateKeyKey].isNull();
}

bool parentIsWritable(const Siblings& s) {
  return ::access(s.parent.c_str(), W_OK | X_OK) == 0;
}

std::optional<std::string> versionOf(const plist::Value& info) {
  auto version = info[kVersionKey].stringValue();
  if (version && version->empty()) return std::nullopt;
  return version;
}

// The launcher a bundle names, in the bundle at `at` (its own path when empty); absent when the
// name could lead out of Contents/MacOS.
std::optional<std::string> launcherOf(const platform::Bundle& bundle, const std::string& at = "") {
  auto name = bundle.infoValue(kExecutableKey).stringValue();
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return platform::joinPath(at.empty() ? bundle.path() : at, "Contents/MacOS/" + *name);
}

// Renames that stay in the bundle's folder, and the exchange of two of its entries.
class Folder {
 public:
  explicit Folder(const std::string& path)
      : fd_(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  bool open() const { return static_cast<bool>(fd_); }

  bool exists(const std::string& name) const {
    struct stat info;
    return ::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  }
  bool move(const std::string& from, const std::string& to) const {
    return ::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) == 0;
  }
  // Both names must exist; afterwards each holds what the other held, with no moment between.
  bool exchange(const std::string& a, const std::string& b) const {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return ::renameat2(fd_.get(), a.c_str(), fd_.get(), b.c_str(), RENAME_EXCHANGE) == 0;
#else
    return ::syscall(SYS_renameat2, fd_.get(), a.c_str(), fd_.get(), b.c_str(),
                     RENAME_EXCHANGE) == 0;
#endif
  }
  // A folder goes by being renamed to the trash name first: a start killed while deleting
  // leaves only the trash, never a half-deleted folder under a name that is read.
  bool discard(const std::string& name, const std::string& trash) const {
    if (!removeTree(fd_.get(), trash)) return false;
    if (!move(name, trash)) return errno == ENOENT;
    return removeTree(fd_.get(), trash);
  }
  // Deletes in place: only for the staged name, which every start looks at, and only for a
  // version that is refused whatever part of it is left.
  bool remove(const std::string& name) const { return removeTree(fd_.get(), name); }

 private:
  // Removes an entry and everything below it without following links; folders the bundle made
  // read-only are made writable on the way.
  static bool removeTree(int parentFd, const std::string& name) {
    if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    platform::UniqueFd fd(
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return false;
    ::fchmod(fd.get(), S_IRWXU);
    std::vector<std::string> entries;
    {
      int listed = ::dup(fd.get());
      DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
      if (dir == nullptr) {
        if (listed >= 0) ::close(listed);
        return false;
      }
      std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
      while (struct dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
          entries.emplace_back(entry->d_name);
        }
      }
    }
    for (const auto& entry : entries) {
      if (!removeTree(fd.get(), entry)) return false;
    }
    return ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
  }

  platform::UniqueFd fd_;
};

// Holds the switch lock of the application's state folder; released when the object goes, and
// at an exec (the descriptor closes on exec), so that a re-executed launcher never keeps it.
class SwitchLock {
 public:
  explicit SwitchLock(const std::string& stateDir) {
    if (!createStateDirectory(stateDir)) return;
    fd_.reset(::open(platform::joinPath(stateDir, kSwitchLock).c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    while (fd_ && ::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) fd_.reset();
    }
  }
  bool held() const { return static_cast<bool>(fd_); }

 private:
  platform::UniqueFd fd_;
};

// Replaces this process with `program`, handed the arguments this process got. Returns only
// when the exec failed (errno tells why).
void execLauncher(const std::string& program, const LaunchContext& context) {
  std::vector<char*> vector;
  vector.push_back(const_cast<char*>(program.c_str()));
  for (size_t i = 1; i < context.arguments.size(); i++) {
    vector.push_back(const_cast<char*>(context.arguments[i].c_str()));
  }
  vector.push_back(nullptr);
  ::execv(program.c_str(), vector.data());
}

void clearMarker() {
  ::unsetenv(kMarkerPid);
  ::unsetenv(kMarkerVersion);
  ::unsetenv(kMarkerBundle);
}

// Starts whatever the bundle path holds now, in place of this process, as an ordinary start.
// Used when the bundle changed under this start (another start switched): going on would mix
// this start's configuration with the other version's files.
void restartInstalled(const Siblings& s, const LaunchContext& context) {
  auto installed = platform::Bundle::create(s.bundlePath);
  std::optional<std::string> program = installed ? launcherOf(*installed) : std::nullopt;
  if (!program) program = platform::joinPath(s.bundlePath, "Contents/MacOS/" +
                                                               platform::lastPathComponent(
                                                                   platform::executablePath()));
  DLOG("%s [Line %d] the bundle changed during this start; starting %@", *program);
  execLauncher(*program, context);
  ALOG("%s [Line %d] %@ cannot be started: %s", *program, std::strerror(errno));
}

bool isBad(const std::string& stateDir, const std::string& version) {
  const UpdateState state = readState(stateDir);
  return std::find(state.badVersions.begin(), state.badVersions.end(), version) !=
         state.badVersions.end();
}

void recordBad(const std::string& stateDir, const std::string& version) {
  changeState(stateDir, [&](UpdateState& state) {
    if (std::find(state.badVersions.begin(), state.badVersions.end(), version) ==
        state.badVersions.end()) {
      state.badVersions.push_back(version);
    }
  });
}

// A bundle that can be started: readable Info.plist and a launcher it names.
bool isWhole(const std::shared_ptr<platform::Bundle>& bundle) {
  return bundle && !bundle->infoProblem() && launcherOf(*bundle);
}

// Puts the replaced version, found at `from` (still staged when the switch was not completed,
// else the previous version), back in the bundle's place, and removes the version that could
// not start, which was recorded bad before. That version always leaves through the staged name:
// a start killed after the exchange finds it staged, refuses it as bad and removes it; one
// killed before finds the replaced version staged and not newer, and so counts as the first
// start of a switched-to version again.
bool putBack(const Siblings& s, const Folder& folder, const std::string& from) {
  if (from == s.update || (!folder.exists(s.update) && folder.move(from, s.update))) {
    if (!folder.exchange(s.update, s.name)) return false;
    folder.remove(s.update);
    return true;
  }
  if (!folder.exchange(from, s.name)) return false;
  folder.discard(from, s.trash);
  return true;
}

// Why a staged folder cannot be switched to, or absent when it can.
std::optional<std::string> refusalOf(const std::string& path, const platform::Bundle* staged,
                                     const platform::Bundle& installed) {
  struct stat entry;
  if (!staged || ::lstat(path.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode)) {
    return "it is not a folder";
  }
  if (const auto& problem = staged->infoProblem()) return "its Info.plist: " + *problem;
  if (!versionOf(staged->info())) return std::string("its Info.plist has no ") + kVersionKey;
  if (staged->identifier() != installed.identifier()) return "it is another application";
  auto program = launcherOf(*staged);
  if (!program) return std::string("its Info.plist names no ") + kExecutableKey;
  struct stat info;
  if (::stat(program->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::access(program->c_str(), X_OK) != 0) {
    return "its launcher " + *program + " is missing or not executable";
  }
  return std::nullopt;
}

// Switches to the staged version when it is newer, whole and not found bad; otherwise puts it
// away. Returns when this process goes on (with whatever the bundle path holds now).
//
// The replaced version stays staged until the new version's first start has found its runtime
// (completeSwitch): a start killed in between leaves a staged version that is not newer, and the
// next start takes itself for the new version's first.
void applyStaged(const Siblings& s, const Folder& folder, const std::string& stateDir,
                 const platform::Bundle& installed, bool ours, const LaunchContext& context,
                 std::optional<SwitchedStart>& switched) {
  auto staged = platform::Bundle::create(s.at(s.update));
  const std::optional<std::string> stagedVersion = staged ? versionOf(staged->info()) : std::nullopt;
  const std::optional<std::string> installedVersion = versionOf(installed.info());
  if (auto refusal = refusalOf(s.at(s.update), staged.get(), installed)) {
    ALOG("%s [Line %d] the update staged in %@ (version %@) is not used: %@", s.at(s.update),
         stagedVersion.value_or("unknown"), *refusal);
    // Another application's version number says nothing about this one's.
    if (stagedVersion && staged->identifier() == installed.identifier()) {
      recordBad(stateDir, *stagedVersion);
    }
    folder.remove(s.update);
    return;
  }
  if (installedVersion && Launcher::compareVersion(*stagedVersion, *installedVersion) <= 0) {
    DLOG("%s [Line %d] version %@ of %@ was switched to by a start that did not finish",
         *installedVersion, s.bundlePath);
    if (ours) switched = SwitchedStart{*installedVersion, s.bundlePath};
    return;
  }
  if (isBad(stateDir, *stagedVersion)) {
    ALOG("%s [Line %d] the update staged in %@ is version %@, found bad before; not used",
         s.at(s.update), *stagedVersion);
    folder.remove(s.update);
    return;
  }
  if (!folder.discard(s.previous, s.trash)) {
    ALOG("%s [Line %d] %@ cannot be removed: %s", s.at(s.previous), std::strerror(errno));
    return;
  }
  if (!folder.exchange(s.update, s.name)) {
    ALOG("%s [Line %d] %@ cannot take the place of %@: %s", s.at(s.update), s.bundlePath,
         std::strerror(errno));
    return;
  }
  DLOG("%s [Line %d] switched %@ from version %@ to version %@", s.bundlePath,
       installedVersion.value_or("(none)"), *stagedVersion);
  const std::string program = *launcherOf(*staged, s.bundlePath);
  ::setenv(kMarkerPid, std::to_string(::getpid()).c_str(), 1);
  ::setenv(kMarkerVersion, stagedVersion->c_str(), 1);
  ::setenv(kMarkerBundle, s.bundlePath.c_str(), 1);
  execLauncher(program, context);
  const std::string reason =
      "its launcher " + program + " cannot be started: " + std::strerror(errno);
  clearMarker();
  // Still the replaced version's launcher: switch back and go on as that version.
  recordBad(stateDir, *stagedVersion);
  if (!putBack(s, folder, s.update)) {
    ALOG("%s [Line %d] version %@ of %@ cannot start (%@), and switching back failed: %s",
         *stagedVersion, s.bundlePath, reason, std::strerror(errno));
    return;
  }
  ALOG("%s [Line %d] version %@ of %@ cannot start (%@); switched back to version %@",
       *stagedVersion, s.bundlePath, reason, installedVersion.value_or("(none)"));
}

// The switch under the switch lock. Returns when this process goes on with its own launch.
void switchLocked(const Siblings& s, const Folder& folder, const std::string& stateDir,
                  const LaunchContext& context, std::optional<SwitchedStart>& switched) {
  auto installed = platform::Bundle::create(s.bundlePath);
  if (!installed) return;
  // Another start may have switched while this one waited for the lock: going on would mix
  // this start's configuration with the other version's files.
  const bool ours = installed->info() == context.mainBundle->info();
  if (folder.exists(s.update)) applyStaged(s, folder, stateDir, *installed, ours, context, switched);
  if (!ours) restartInstalled(s, context);
}

}  // namespace

std::optional<SwitchedStart> takeSwitchMarker() {
  const char* pid = ::getenv(kMarkerPid);
  if (pid == nullptr) return std::nullopt;
  const char* version = ::getenv(kMarkerVersion);
  const char* bundle = ::getenv(kMarkerBundle);
  std::optional<SwitchedStart> switched;
  if (version != nullptr && bundle != nullptr && std::to_string(::getpid()) == pid) {
    switched = SwitchedStart{version, bundle};
  }
  clearMarker();
  return switched;
}

void switchToStagedUpdate(const LaunchContext& context, std::optional<SwitchedStart>& switched) {
  // The launcher a switch just started: the update it would look for is the one it runs.
  if (switched) return;
  const platform::Bundle& bundle = *context.mainBundle;
  if (!takesPartInUpdates(bundle.info())) return;
  const Siblings s(bundle.path());
  struct stat info;
  if (::lstat(s.at(s.update).c_str(), &info) != 0) {
    if (debugLogEnabled() && !parentIsWritable(s)) {
      DLOG("%s [Line %d] %@ cannot be written here: updates are left to the package manager",
           s.parent);
    }
    return;
  }
  if (!parentIsWritable(s)) {
    DLOG("%s [Line %d] %@ cannot be written here: updates are left to the package manager",
         s.parent);
    return;
  }
  const std::string stateDir = stateDirectory(bundle.identifier().value_or(""));
  if (stateDir.empty()) {
    DLOG("%s [Line %d] no usable CFBundleIdentifier: the staged update is not used");
    return;
  }
  Folder folder(s.parent);
  SwitchLock lock(stateDir);
  if (!folder.open() || !lock.held()) {
    ALOG("%s [Line %d] the update staged in %@ cannot be switched to: %s", s.at(s.update),
         std::strerror(errno));
    return;
  }
  switchLocked(s, folder, stateDir, context, switched);
}

void completeSwitch(const LaunchContext& context, const SwitchedStart& switched) {
  const platform::Bundle& bundle = *context.mainBundle;
  const Siblings s(bundle.path());
  const std::string stateDir = stateDirectory(bundle.identifier().value_or(""));
  if (stateDir.empty() || switched.bundlePath != bundle.path()) return;
  Folder folder(s.parent);
  SwitchLock lock(stateDir);
  if (!folder.open() || !lock.held() || !folder.exists(s.update)) return;
  auto replaced = platform::Bundle::create(s.at(s.update));
  auto version = replaced ? versionOf(replaced->info()) : std::nullopt;
  if (!version || Launcher::compareVersion(*version, switched.version) > 0) return;
  if (!folder.discard(s.previous, s.trash) || !folder.move(s.update, s.previous)) {
    ALOG("%s [Line %d] the replaced version cannot be kept as %@: %s", s.at(s.previous),
         std::strerror(errno));
  }
}

void switchBackAfterFailure(const LaunchContext& context,
                            const std::optional<SwitchedStart>& switched,
                            const std::string& reason) {
  const platform::Bundle& bundle = *context.mainBundle;
  const Siblings s(bundle.path());
  std::optional<std::string> version = versionOf(bundle.info());
  if (switched) {
    // The switch checked the new Info.plist, but it may have become unreadable since: the
    // version and the identifier are then the marker's and the replaced version's.
    if (switched->bundlePath != bundle.path() || (version && *version != switched->version)) {
      return;
    }
    version = switched->version;
  } else if (!takesPartInUpdates(bundle.info()) || !version) {
    return;
  }
  std::optional<std::string> identifier = bundle.identifier();
  if (!identifier && switched) {
    for (const std::string& name : {s.update, s.previous}) {
      auto other = platform::Bundle::create(s.at(name));
      if (other && other->identifier()) identifier = other->identifier();
    }
  }
  const std::string stateDir = stateDirectory(identifier.value_or(""));
  if (stateDir.empty()) return;
  // A version that failed on an ordinary start fails as it would without updates; only one that
  // a killed switch back left installed is switched back again.
  if (!switched && !isBad(stateDir, *version)) return;

  Folder folder(s.parent);
  SwitchLock lock(stateDir);
  if (!folder.open() || !lock.held()) return;
  auto installed = platform::Bundle::create(s.bundlePath);
  // The replaced version: still staged when the switch was not completed, else the previous.
  std::string from = s.update;
  auto replaced = platform::Bundle::create(s.at(from));
  auto replacedVersion = replaced ? versionOf(replaced->info()) : std::nullopt;
  if (!replacedVersion || Launcher::compareVersion(*replacedVersion, *version) > 0) {
    from = s.previous;
    replaced = platform::Bundle::create(s.at(from));
  }
  // Only while this very version is still installed, and a whole replaced one is there.
  if (!installed || installed->info() != bundle.info() || !isWhole(replaced)) {
    ALOG("%s [Line %d] version %@ of %@ cannot start (%@) and there is no previous version to "
         "switch back to",
         *version, s.bundlePath, reason);
    return;
  }
  recordBad(stateDir, *version);
  if (!putBack(s, folder, from)) {
    ALOG("%s [Line %d] version %@ of %@ cannot start (%@), and switching back failed: %s",
         *version, s.bundlePath, reason, std::strerror(errno));
    return;
  }
  ALOG("%s [Line %d] version %@ of %@ cannot start (%@); switched back to version %@", *version,
       s.bundlePath, reason, versionOf(replaced->info()).value_or("(none)"));
  const std::string program = *launcherOf(*replaced, s.bundlePath);
  execLauncher(program, context);
  ALOG("%s [Line %d] %@ cannot be started: %s", program, std::strerror(errno));
}

}  // namespace qmk::update
