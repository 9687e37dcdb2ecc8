#include "launcher/update_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/file_lock.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace qmk::update {
namespace {

constexpr const char* kProductFolder = "quillmark";
constexpr const char* kLastCheck = "lastCheck";
constexpr const char* kStagedVersion = "stagedVersion";
constexpr const char* kBadVersions = "badVersions";

plist::Value toValue(const UpdateState& state) {
  plist::Dictionary d;
  if (state.lastCheck) d[kLastCheck] = plist::Value::integer(*state.lastCheck);
  if (state.stagedVersion) d[kStagedVersion] = plist::Value::string(*state.stagedVersion);
  plist::Array bad;
  for (const auto& v : state.badVersions) bad.push_back(plist::Value::string(v));
  d[kBadVersions] = plist::Value::array(std::move(bad));
  return plist::Value::dictionary(std::move(d));
}

// The folder and the bundle's own name of ".../Name.app" (a trailing "/" ignored).
std::pair<std::string, std::string> splitBundlePath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return {platform::deletingLastPathComponent(path), platform::lastPathComponent(path)};
}

std::string besideBundle(const std::string& bundlePath, const std::string& suffix) {
  auto [folder, name] = splitBundlePath(bundlePath);
  return platform::joinPath(folder, "." + name + suffix);
}

}  // namespace

std::string stateDirectory(const std::string& identifier) {
  if (identifier.empty() || identifier == "." || identifier == ".." ||
      identifier.find('/') != std::string::npos || identifier.find('\0') != std::string::npos) {
    return {};
  }
  auto base = platform::environmentValue("XDG_STATE_HOME");
  // A relative XDG base directory is ignored, as the XDG rules ask.
  std::string root = base && platform::isAbsolutePath(*base) && (*base)[0] == '/'
                         ? *base
                         : platform::joinPath(platform::homeDirectory(), ".local/state");
  return platform::joinPath(platform::joinPath(root, kProductFolder), identifier);
}

UpdateState readState(const std::string& dir) {
  UpdateState state;
  auto value = plist::readFile(platform::joinPath(dir, kStateFile));
  if (!value || !value->isDictionary()) return state;
  const plist::Value& v = *value;
  state.lastCheck = v[kLastCheck].asInteger();
  state.stagedVersion = v[kStagedVersion].stringValue();
  if (const auto* bad = v[kBadVersions].asArray()) {
    for (const auto& item : *bad) {
      if (auto s = item.stringValue()) state.badVersions.push_back(*s);
    }
  }
  return state;
}

void writeState(const std::string& dir, const UpdateState& state) {
  const std::string path = platform::joinPath(dir, kStateFile);
  const std::string temporary = path + ".tmp";
  const std::string text = plist::toXml(toValue(state));
  platform::UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return;
  const bool written = platform::writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  if (!fd.close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
  }
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

bool changeState(const std::string& dir, const std::function<void(UpdateState&)>& change) {
  if (!createStateDirectory(dir)) return false;
  platform::FileLock lock(platform::joinPath(dir, kStateLock), platform::FileLock::Wait::kYes);
  if (!lock.held()) return false;
  UpdateState state = readState(dir);
  change(state);
  writeState(dir, state);
  return true;
}

std::string stagedBundlePath(const std::string& bundlePath) {
  return besideBundle(bundlePath, ".update");
}

std::string previousBundlePath(const std::string& bundlePath) {
  return besideBundle(bundlePath, ".previous");
}

std::string partialFolderPrefix(const std::string& bundlePath) {
  return splitBundlePath(bundlePath).second.insert(0, ".") + ".partial-";
}

}  // namespace qmk::update
