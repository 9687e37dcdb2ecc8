#include "bundler/check_update.h"

#include <cstdio>
#include <filesystem>

#include "launcher/update_check.h"
#include "launcher/update_feed.h"
#include "launcher/update_state.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/plist.h"

namespace bundler {
namespace {

std::optional<std::string> versionOf(const std::string& bundle) {
  auto info = plist::readFile(platform::joinPath(bundle, "Contents/Info.plist"));
  if (!info) return std::nullopt;
  return (*info)["CFBundleShortVersionString"].stringValue().value_or("(no version)");
}

std::string join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string outcomeWord(qmk::update::CheckOutcome outcome) {
  switch (outcome) {
    case qmk::update::CheckOutcome::kStaged:
      return "staged";
    case qmk::update::CheckOutcome::kRefused:
      return "refused";
    case qmk::update::CheckOutcome::kBusy:
      return "not run";
    case qmk::update::CheckOutcome::kNotDue:
      return "not run";
    case qmk::update::CheckOutcome::kFailed:
      return "failed";
  }
  return "failed";
}

}  // namespace

UpdateReport describeUpdates(const std::string& bundlePath, bool checkNow) {
  std::error_code error;
  const std::string path = std::filesystem::canonical(bundlePath, error).string();
  auto bundle = platform::Bundle::create(error ? bundlePath : path);
  UpdateReport r;
  if (!bundle) return r;
  const plist::Value& info = bundle->info();
  r.url = info[qmk::update::kUrlKey].stringValue();
  r.key = info[qmk::update::kPublicKeyKey].stringValue();
  auto settings = qmk::update::updateSettings(*bundle);
  r.requested = settings.has_value();
  if (settings) r.interval = settings->interval;
  r.stateDirectory =
      qmk::update::stateDirectory(info["CFBundleIdentifier"].stringValue().value_or(""));
  if (!r.stateDirectory.empty()) {
    const qmk::update::UpdateState state = qmk::update::readState(r.stateDirectory);
    r.lastCheck = state.lastCheck;
    r.badVersions = state.badVersions;
  }
  r.stagedVersion = versionOf(qmk::update::stagedBundlePath(bundle->path()));
  r.previousVersion = versionOf(qmk::update::previousBundlePath(bundle->path()));
  r.canApply = qmk::update::canApplyUpdates(bundle->path());
  const std::string folder = platform::deletingLastPathComponent(bundle->path());
  r.canApplyReason = r.canApply ? "its folder " + folder + " is writable"
                                : "its folder " + folder +
                                      " is not writable by this user: the "
                                      "package manager that installed it updates it";
  if (checkNow) {
    if (!settings) {
      r.checkResult = "not run: the bundle has no qmk.updateURL and qmk.updateKey";
    } else if (!r.canApply) {
      r.checkResult = "not run: " + r.canApplyReason;
    } else {
      auto result = qmk::update::runUpdateCheck(*settings, qmk::update::CheckMode::kNow);
      // The state as the check left it.
      UpdateReport after = describeUpdates(bundlePath, false);
      after.checkResult = outcomeWord(result.outcome) + ": " + result.message;
      return after;
    }
  }
  return r;
}

void printUpdateText(const UpdateReport& r) {
  if (!r.requested) {
    std::printf("updates: off (the Info.plist needs both qmk.updateURL and qmk.updateKey)\n");
    if (r.checkResult) std::printf("update check: %s\n", r.checkResult->c_str());
    return;
  }
  std::printf("updates: from %s, checked every %lld s\n", r.url->c_str(),
              static_cast<long long>(*r.interval));
  std::printf("update key: %s\n", r.key->c_str());
  std::printf("update state: %s\n", r.stateDirectory.c_str());
  std::printf("last update check: %s\n",
              r.lastCheck ? qmk::update::formatTimestamp(*r.lastCheck).c_str() : "never");
  std::printf("staged version: %s\n", r.stagedVersion ? r.stagedVersion->c_str() : "none");
  std::printf("previous version: %s\n", r.previousVersion ? r.previousVersion->c_str() : "none");
  std::printf("versions found bad: %s\n",
              r.badVersions.empty() ? "none" : join(r.badVersions).c_str());
  std::printf("updates can apply: %s (%s)\n", r.canApply ? "yes" : "no", r.canApplyReason.c_str());
  if (r.checkResult) std::printf("update check: %s\n", r.checkResult->c_str());
}

void writeUpdateJson(JsonWriter& json, const UpdateReport& r) {
  json.key("updates").beginObject();
  json.key("on").value(r.requested);
  json.key("url").value(r.url);
  json.key("key").value(r.key);
  json.key("interval")
      .value(r.interval ? std::optional<std::string>(std::to_string(*r.interval)) : std::nullopt);
  json.key("stateDirectory").value(r.stateDirectory);
  json.key("lastCheck")
      .value(r.lastCheck ? std::optional<std::string>(qmk::update::formatTimestamp(*r.lastCheck))
                         : std::nullopt);
  json.key("stagedVersion").value(r.stagedVersion);
  json.key("previousVersion").value(r.previousVersion);
  json.key("badVersions").strings(r.badVersions);
  json.key("canApply").value(r.canApply);
  json.key("check").value(r.checkResult);
  json.endObject();
}

}  // namespace bundler
