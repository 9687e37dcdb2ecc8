#include "bundler/partial_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kMarker = ".partial-";
constexpr size_t kUniqueLength = 6;  // the XXXXXX of mkdtemp

std::string folderOf(const std::string& path) {
  std::string parent = platform::deletingLastPathComponent(path);
  return parent.empty() ? "." : parent;
}

std::string namePrefix(const std::string& finalPath) {
  return "." + platform::lastPathComponent(finalPath) + kMarker;
}

bool isPartialName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + kUniqueLength || !name.starts_with(prefix)) return false;
  for (size_t i = prefix.size(); i < name.size(); i++) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

enum class Wait { kNo, kYes };
enum class Links { kRefuse, kFollow };

// A directory, locked exclusively; empty when it cannot be opened (with kRefuse: also when it
// is a symbolic link), or, without waiting, when another process holds its lock. The descriptor
// is not inherited by the programs qmk-bundle runs, so the lock ends with this process alone.
platform::UniqueFd lockDirectory(const std::string& path, Wait wait, Links links = Links::kRefuse) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (links == Links::kRefuse ? O_NOFOLLOW : 0);
  platform::UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) return fd;
  int result;
  do {
    result = ::flock(fd.get(), LOCK_EX | (wait == Wait::kYes ? 0 : LOCK_NB));
  } while (result != 0 && errno == EINTR);
  if (result != 0) fd.reset();
  return fd;
}

// Orders the making and the removing of partial folders in one folder, so that none is taken
// for abandoned between its creation and its maker locking it.
platform::UniqueFd lockFolderOf(const std::string& finalPath) {
  const std::string folder = folderOf(finalPath);
  // The folder the user named may well be a link to one.
  platform::UniqueFd lock = lockDirectory(folder, Wait::kYes, Links::kFollow);
  if (!lock) {
    throw Failure("cannot open the folder " + folder + ": " + std::strerror(errno) +
                  ". Choose an --out where you may write.");
  }
  return lock;
}

void removeAbandoned(const std::string& finalPath) {
  const std::string folder = folderOf(finalPath);
  const std::string prefix = namePrefix(finalPath);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!isPartialName(name, prefix)) continue;
    const std::string path = platform::joinPath(folder, name);
    platform::UniqueFd abandoned = lockDirectory(path, Wait::kNo);
    if (!abandoned) continue;  // being built, or not a directory of ours
    fs::remove_all(path, error);
  }
}

// A fresh unused partial name of `finalPath`, reserved as an empty directory.
std::string makePartialDirectory(const std::string& finalPath) {
  std::string name = platform::joinPath(folderOf(finalPath), namePrefix(finalPath) + "XXXXXX");
  if (::mkdtemp(name.data()) == nullptr) {
    throw Failure("cannot create a folder in " + folderOf(finalPath) + ": " +
                  std::strerror(errno) + ". Choose an --out where you may write.");
  }
  return name;
}

}  // namespace

PartialFolder::PartialFolder(const std::string& finalPath) {
  platform::UniqueFd folderLock = lockFolderOf(finalPath);
  removeAbandoned(finalPath);
  path_ = makePartialDirectory(finalPath);
  owned_ = true;
  ::chmod(path_.c_str(), 0755);
  lock_ = lockDirectory(path_, Wait::kYes);
  if (!lock_) throw Failure("cannot lock the folder " + path_ + ": " + std::strerror(errno) + ".");
}

PartialFolder PartialFolder::setAside(const std::string& existing, const std::string& finalPath) {
  platform::UniqueFd folderLock = lockFolderOf(finalPath);
  PartialFolder aside;
  aside.lock_ = lockDirectory(existing, Wait::kYes);
  aside.path_ = makePartialDirectory(finalPath);
  // Renaming a directory onto the empty one just made replaces it in one step; a symbolic
  // link (which is not locked) needs the name free.
  if (!aside.lock_) ::rmdir(aside.path_.c_str());
  if (::rename(existing.c_str(), aside.path_.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::rmdir(aside.path_.c_str());
    throw Failure("cannot move the existing " + existing + " aside: " + reason + ".");
  }
  aside.owned_ = true;
  return aside;
}

PartialFolder::PartialFolder(PartialFolder&& other) noexcept
    : path_(std::move(other.path_)), lock_(std::move(other.lock_)), owned_(other.owned_) {
  other.owned_ = false;
}

PartialFolder::~PartialFolder() {
  if (!owned_) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

bool PartialFolder::moveTo(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) return false;
  path_ = target;
  owned_ = false;
  return true;
}

}  // namespace bundler
