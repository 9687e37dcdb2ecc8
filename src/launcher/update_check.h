// Updates from a signed feed: what a bundle asks for, the detached checker that a start leaves
// behind at most once per interval, and the check itself, which stages a verified new version
// beside the bundle for the next start to switch to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace qmk::update {

// What a bundle's Info.plist asks for. Present only when both "qmk.updateURL" and
// "qmk.updateKey" are strings.
struct UpdateSettings {
  std::string bundlePath;
  std::string identifier;  // CFBundleIdentifier, "" when missing
  std::string version;     // CFBundleShortVersionString, "" when missing
  std::string feedUrl;
  std::string publicKey;  // as written: the base64 text of the 32-byte key
  int64_t interval = 0;   // seconds between checks, at least the minimum
};
std::optional<UpdateSettings> updateSettings(const platform::Bundle& bundle);

// Whether updates can be applied where the bundle lies: its folder must be writable by the user
// (a bundle installed by a package is updated by the package manager instead).
bool canApplyUpdates(const std::string& bundlePath);

// At a start: leaves a detached, low-priority checker behind when the bundle asks for updates,
// they can apply, and the last check is an interval ago. Never fails the start.
void startUpdateCheckIfDue(const platform::Bundle& bundle);

enum class CheckMode {
  kScheduled,  // the detached checker: nothing when another checked within the interval
  kNow,        // asked for by hand: the interval does not hold it back
};

enum class CheckOutcome {
  kStaged,   // a new version waits beside the bundle
  kRefused,  // the feed, its signature or its archive was refused, or nothing new was offered
  kBusy,     // another check of this application is running
  kNotDue,   // another check ran within the interval
  kFailed,   // the state folder cannot be used
};

struct CheckResult {
  CheckOutcome outcome = CheckOutcome::kFailed;
  std::string message;  // what was found, in words for the log and the user
};

CheckResult runUpdateCheck(const UpdateSettings& settings, CheckMode mode);

}  // namespace qmk::update
