#include "launcher/update_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "launcher/global.h"
#include "platform/environment.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace qmk::update {
namespace {

constexpr const char* kLastCheck = "lastCheck";
constexpr const char* kStagedVersion = "stagedVersion";
constexpr const char* kBadVersions = "badVersions";

// XDG says a relative base is to be ignored, as if it were unset.
std::string stateBase() {
  std::optional<std::string> base = platform::environmentValue("XDG_STATE_HOME");
  if (base && !base->empty() && (*base)[0] == '/') return *base;
  return platform::joinPath(platform::homeDirectory(), ".local/state");
}

plist::Value toPlist(const UpdateState& state) {
  plist::Dictionary entries;
  if (state.lastCheck) entries[kLastCheck] = plist::Value::integer(*state.lastCheck);
  if (state.stagedVersion) entries[kStagedVersion] = plist::Value::string(*state.stagedVersion);
  plist::Array bad;
  for (const auto& version : state.badVersions) bad.push_back(plist::Value::string(version));
  entries[kBadVersions] = plist::Value::array(std::move(bad));
  return plist::Value::dictionary(std::move(entries));
}

// Holds the state lock of one folder for the life of the object.
class StateLock {
 public:
  explicit StateLock(const std::string& dir)
      : fd_(::open(platform::joinPath(dir, kStateLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                   0600)) {
    while (fd_ && ::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  bool held() const { return static_cast<bool>(fd_); }

 private:
  platform::UniqueFd fd_;
};

// The temporary file has one fixed name: only the holder of the state lock writes it, and a
// writer that was killed leaves nothing a later writer does not overwrite.
bool writeUnlocked(const std::string& dir, const UpdateState& state, std::string& error) {
  const std::string target = platform::joinPath(dir, kStateFile);
  const std::string temporary = target + ".tmp";
  const std::string text = plist::toXml(toPlist(state));
  platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || !platform::writeAll(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0 ||
      !fd.close()) {
    error = temporary + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    error = target + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string stateDirectory(const std::string& identifier) {
  if (identifier.empty() || identifier == "." || identifier == ".." ||
      identifier.find('/') != std::string::npos) {
    return std::string();
  }
  return platform::joinPath(platform::joinPath(stateBase(), "quillmark"), identifier);
}

bool createStateDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat info;
  if (::stat(dir.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  platform::FileManager files;
  const std::string parent = platform::deletingLastPathComponent(dir);
  if (!files.isDirectory(parent) && !files.createDirectory(parent, true)) return false;
  // Another process may create it at the same moment: that is as good.
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

UpdateState readState(const std::string& dir) {
  UpdateState state;
  std::optional<plist::Value> value = plist::readFile(platform::joinPath(dir, kStateFile));
  if (!value || !value->isDictionary()) return state;
  const plist::Value& v = *value;
  if (v[kLastCheck].type() == plist::Value::Type::Integer) state.lastCheck = v[kLastCheck].asInteger();
  state.stagedVersion = v[kStagedVersion].stringValue();
  if (const plist::Array* bad = v[kBadVersions].asArray()) {
    for (const plist::Value& entry : *bad) {
      if (auto version = entry.stringValue()) state.badVersions.push_back(*version);
    }
  }
  return state;
}

void writeState(const std::string& dir, const UpdateState& state) {
  changeState(dir, [&](UpdateState& current) { current = state; });
}

bool changeState(const std::string& dir, const std::function<void(UpdateState&)>& change) {
  if (!createStateDirectory(dir)) {
    ALOG("%s [Line %d] the update state folder %@ cannot be created: %s", dir,
         std::strerror(errno));
    return false;
  }
  StateLock lock(dir);
  if (!lock.held()) {
    ALOG("%s [Line %d] the update state lock in %@ cannot be opened: %s", dir,
         std::strerror(errno));
    return false;
  }
  UpdateState state = readState(dir);
  change(state);
  std::string error;
  if (!writeUnlocked(dir, state, error)) {
    ALOG("%s [Line %d] the update state cannot be written: %@", error);
    return false;
  }
  return true;
}

}  // namespace qmk::update
