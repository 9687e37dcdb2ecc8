// What the update checker and the switch at start share about one application: when it last
// looked for a new version, the highest version it staged, and the versions that could not
// start. Kept per application in $XDG_STATE_HOME/quillmark/<identifier>/ (by default
// ~/.local/state), beside the locks both take.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qmk::update {

// The files in the state folder.
inline constexpr const char* kStateFile = "state.plist";
// Held (flock) while state.plist is read for a change and written.
inline constexpr const char* kStateLock = "state.lock";
// Held (flock) by every process that creates, renames or removes the staged bundle.
inline constexpr const char* kSwitchLock = "switch.lock";

// The application's state folder; empty when `identifier` cannot name a folder (empty, ".",
// "..", or holding "/"). The folder is not created here.
std::string stateDirectory(const std::string& identifier);

struct UpdateState {
  std::optional<int64_t> lastCheck;  // Unix seconds
  std::optional<std::string> stagedVersion;
  std::vector<std::string> badVersions;
};

// The state as it was last written whole; empty when there is none or it cannot be read.
UpdateState readState(const std::string& dir);
// Writes the state whole (a temporary file renamed over state.plist), under the state lock;
// creates the folder (mode 0700) when needed. A failure is an always-on line.
void writeState(const std::string& dir, const UpdateState& state);
// Reads, changes and writes the state under one hold of the state lock, so that a checker and a
// switch changing it at the same moment both keep their change. False (after an always-on
// line) when it could not be written.
bool changeState(const std::string& dir, const std::function<void(UpdateState&)>& change);

// Creates the state folder and its parents (the folder itself mode 0700); false when it cannot.
bool createStateDirectory(const std::string& dir);

}  // namespace qmk::update
