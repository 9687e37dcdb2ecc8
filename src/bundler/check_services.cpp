// qmk-bundle check, the launcher services: what each key of the bundle will make the launcher
// do, read the way the launcher reads it.
#include <string>

#include "bundler/check_report.h"
#include "launcher/service_keys.h"
#include "launcher/single_instance.h"

namespace bundler {

namespace {

using qmk::services::ServiceKeys;

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

ServiceLine launcherServicesLine(const ServiceKeys& keys, int32_t javaMajorVersion) {
  if (!keys.on()) {
    return {"launcher services", "off",
            "the natives do not bind: LauncherServices.isAvailable() is false"};
  }
  std::string effect =
      "LauncherServices.isAvailable() is true and its natives bind to the launcher";
  const auto options = qmk::services::serviceOptions(keys, javaMajorVersion);
  if (!options.empty()) effect += "; the runtime gets " + joined(options);
  return {"launcher services", "on", effect};
}

ServiceLine singleInstanceLine(const ServiceKeys& keys, const plist::Value& info) {
  if (!keys.singleInstance) return {"single instance", "off", "every start runs its own runtime"};
  const auto identifier = info["CFBundleIdentifier"].stringValue();
  if (!identifier) {
    return {"single instance", "on",
            "never used: the bundle has no CFBundleIdentifier to name its socket"};
  }
  const char* now = qmk::services::instanceRunning(*identifier) ? "an instance of yours runs now"
                                                                : "no instance of yours runs now";
  return {"single instance", "on",
          "a later start of " + *identifier + " by the same user hands its arguments and " +
              "working directory to the running instance and ends; " + now};
}

ServiceLine restartLine(const ServiceKeys& keys) {
  if (keys.restartExitCode) {
    return {"restart", "on status " + std::to_string(*keys.restartExitCode),
            "an application that ends with that status is started again with the same arguments"};
  }
  if (keys.unusableRestartExitCode) {
    return {"restart", "qmk.restartExitCode " + *keys.unusableRestartExitCode,
            "never: the status is not a whole number from 1 to 255"};
  }
  return {"restart", "off", "only LauncherServices.restart() starts the application again"};
}

ServiceLine userOptionsLine(const Launcher& launcher) {
  const auto& reading = launcher.userOptions;
  if (!launcher.info()[qmk::services::kUserOptionsKey].boolValue()) {
    return {"user options", "off", "no file of the user's is read"};
  }
  if (!reading) return {"user options", "on", "not read: the launch stops before its options"};
  if (!reading->path) return {"user options", "on", "no file is read: " + *reading->problem};
  if (!reading->present) return {"user options", *reading->path, "not there: adds nothing"};
  std::string effect =
      reading->added.empty() ? "adds no VM option" : "adds " + joined(reading->added);
  if (reading->classPathChanged) effect += " and changes the class path";
  return {"user options", *reading->path, effect};
}

}  // namespace

void addServicesReport(CheckReport& report, const Launcher& launcher) {
  const ServiceKeys keys = qmk::services::readServiceKeys(launcher.info());
  report.services.push_back(launcherServicesLine(keys, launcher.javaMajorVersion));
  report.services.push_back(singleInstanceLine(keys, launcher.info()));
  report.services.push_back(restartLine(keys));
  report.services.push_back(userOptionsLine(launcher));
  if (keys.unusableRestartExitCode) {
    report.warnings.push_back("qmk.restartExitCode " + *keys.unusableRestartExitCode +
                              " is not an exit status from 1 to 255: the application is never " +
                              "restarted on its status. Give a number such as 9.");
  }
}

}  // namespace bundler
