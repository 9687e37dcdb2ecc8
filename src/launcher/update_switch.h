// The switch at start: a verified new version staged beside the bundle (".<name>.update") takes
// the bundle's place before the runtime search, and the replaced version is kept as
// ".<name>.previous". A new version that fails before it hands over to the runtime is switched
// back and recorded as bad, and the previous version starts in its place.
//
// Every step is one rename, so a start killed at any point leaves the bundle path holding a
// whole version; the next start finishes or undoes what was left. Starts at the same moment
// switch once: the steps run under the switch lock in the application's state folder.
#pragma once

#include <optional>
#include <string>

#include "launcher/Launcher.h"

namespace qmk::update {

// Info.plist keys; a bundle takes part in updates only with both.
inline constexpr const char* kUpdateUrlKey = "qmk.updateURL";
inline constexpr const char* kUpdateKeyKey = "qmk.updateKey";

// The start that follows a switch: the version it switched to and the bundle path. A failure of
// this start before the hand-over switches back.
struct SwitchedStart {
  std::string version;
  std::string bundlePath;
};

// Reads and removes what a switch left in the environment of the launcher it re-executed; the
// application never sees it. Absent unless it was left for this very process.
std::optional<SwitchedStart> takeSwitchMarker();

// The step of a plain launch before the runtime search. Does nothing for a bundle without both
// update keys, and costs one failed stat for one with nothing staged. When it switches, it
// re-executes the new version's launcher and does not return; when it returns, this process
// goes on with its own launch. When it finds a switch that a killed start left unfinished (the
// staged version is not newer: it is the replaced one), it sets `switched`, so that this start
// is the switched-to version's first.
void switchToStagedUpdate(const LaunchContext& context, std::optional<SwitchedStart>& switched);

// For the first start of a switched-to version once it has found its runtime: the replaced
// version, kept staged until now, becomes ".<name>.previous" (an older previous goes).
void completeSwitch(const LaunchContext& context, const SwitchedStart& switched);

// A plain launch that failed before handing over to the runtime, for `reason`. The first start
// of a switched-to version (or one whose version was recorded bad by a switch back that was
// killed) switches back to the previous version, records this one as bad and re-executes the
// previous version's launcher. Returns only when it does not switch back.
void switchBackAfterFailure(const LaunchContext& context,
                            const std::optional<SwitchedStart>& switched,
                            const std::string& reason);

}  // namespace qmk::update
