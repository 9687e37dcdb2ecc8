// What `check` says about updates: the keys, the state, whether updates can apply, and with
// --check-update what one check found.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundler/json_writer.h"

namespace bundler {

struct UpdateReport {
  bool requested = false;  // both keys present
  std::optional<std::string> url, key;
  std::optional<int64_t> interval;
  std::string stateDirectory;
  std::optional<int64_t> lastCheck;
  std::optional<std::string> stagedVersion;    // waiting beside the bundle
  std::optional<std::string> previousVersion;  // kept from the last switch
  std::vector<std::string> badVersions;
  bool canApply = false;
  std::string canApplyReason;
  std::optional<std::string> checkResult;  // with --check-update
};

// `bundle` must be an existing bundle directory. With `checkNow`, runs one check in the
// foreground exactly as the detached checker would.
UpdateReport describeUpdates(const std::string& bundle, bool checkNow);

void printUpdateText(const UpdateReport& report);
void writeUpdateJson(JsonWriter& json, const UpdateReport& report);

}  // namespace bundler
