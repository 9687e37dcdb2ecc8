// The start's share of updates: reading the keys and deciding whether a checker is due. It
// touches no network and no cryptography; the check runs in the detached checker.
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "launcher/global.h"
#include "launcher/update_check.h"
#include "launcher/update_state.h"
#include "platform/file_manager.h"

namespace qmk::update {

std::optional<UpdateSettings> updateSettings(const platform::Bundle& bundle) {
  const plist::Value& info = bundle.info();
  const std::string* url = info[kUrlKey].asString();
  if (!url) return std::nullopt;
  const std::string* key = info[kPublicKeyKey].asString();
  if (!key) return std::nullopt;
  UpdateSettings settings;
  settings.bundlePath = bundle.path();
  settings.identifier = info["CFBundleIdentifier"].stringValue().value_or("");
  settings.version = info["CFBundleShortVersionString"].stringValue().value_or("");
  settings.feedUrl = *url;
  settings.publicKey = *key;
  const plist::Value& interval = info[kIntervalKey];
  settings.interval = interval.isNull() ? kDefaultInterval
                                        : std::max<int64_t>(interval.intValue(), kMinimumInterval);
  return settings;
}

bool canApplyUpdates(const std::string& bundlePath) {
  const std::string folder = platform::deletingLastPathComponent(bundlePath);
  return ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0;
}

}  // namespace qmk::update
