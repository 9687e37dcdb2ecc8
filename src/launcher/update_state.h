// What the update checker and the switch at start share: where an application's update state
// lives, the state file itself, the locks, and the names of the folders beside the bundle.
//
// The state folder is $XDG_STATE_HOME/quillmark/<identifier>/ (~/.local/state when unset). It
// holds "state.plist" (an XML property list dictionary: "lastCheck", an integer of Unix
// seconds; "stagedVersion", the highest version staged whole so far; "badVersions", the versions
// that could not start), "update.log", and the lock files: "state.lock" (held while the state
// file is read for a change and written), "switch.lock" (held by any process that creates,
// renames or removes the staged folder) and "check.lock" (held by the one running check).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qmk::update {

inline constexpr const char* kUrlKey = "qmk.updateURL";
inline constexpr const char* kPublicKeyKey = "qmk.updateKey";
inline constexpr const char* kIntervalKey = "qmk.updateInterval";
inline constexpr int64_t kDefaultInterval = 86400;
inline constexpr int64_t kMinimumInterval = 60;

inline constexpr const char* kStateFile = "state.plist";
inline constexpr const char* kStateLock = "state.lock";
inline constexpr const char* kSwitchLock = "switch.lock";
inline constexpr const char* kCheckLock = "check.lock";
inline constexpr const char* kLogFile = "update.log";

struct UpdateState {
  std::optional<int64_t> lastCheck;
  std::optional<std::string> stagedVersion;
  std::vector<std::string> badVersions;
};

// The application's state folder, from the environment; empty when the identifier cannot name
// a folder (empty, ".", "..", or holding "/").
std::string stateDirectory(const std::string& identifier);

// The state in `dir`; empty when the file is missing or unreadable (a damaged file must not stop
// updates for good: the next write replaces it).
UpdateState readState(const std::string& dir);
// Replaces the state file atomically (a temporary file, synced, then renamed). Call while
// holding the state lock (see changeState).
void writeState(const std::string& dir, const UpdateState& state);
// Reads, changes and writes the state under the state lock; false when the folder or the lock
// cannot be had.
bool changeState(const std::string& dir, const std::function<void(UpdateState&)>& change);
// Creates the state folder and its parents (the folder itself mode 0700); false when it cannot.
bool createStateDirectory(const std::string& dir);

// The folders beside a bundle ".../Name.app": ".../.Name.app.update" (a complete new version
// waiting for the next start) and ".../.Name.app.previous" (the version before the last switch).
std::string stagedBundlePath(const std::string& bundlePath);
std::string previousBundlePath(const std::string& bundlePath);
// The prefix of the checker's partial folders beside the bundle: ".Name.app.partial-".
std::string partialFolderPrefix(const std::string& bundlePath);

}  // namespace qmk::update
