// Which launcher services a plain start sets up, decided from the bundle's keys.
#include "launcher/services_start.h"

#include <vector>

#include "launcher/global.h"
#include "launcher/single_instance.h"

namespace qmk::services {

namespace {

constexpr const char* kRestartExitCodeKey = "qmk.restartExitCode";
constexpr const char* kLauncherServicesKey = "qmk.launcherServices";

// The status that asks for a restart; absent when the key is absent or no exit status.
std::optional<int> restartStatus(const plist::Value& info) {
  const plist::Value& value = info[kRestartExitCodeKey];
  if (value.isNull()) return std::nullopt;
  const int32_t status = value.intValue();
  if (status < 1 || status > 255) {
    ALOG("%s [Line %d] %s %@ is not an exit status from 1 to 255; the application is not "
         "restarted on exit",
         kRestartExitCodeKey, value);
    return std::nullopt;
  }
  return status;
}

}  // namespace

std::optional<int> prepareStart(const platform::Bundle& bundle, int count, char** vector) {
  const plist::Value& info = bundle.info();
  const bool single = singleInstanceRequested(info);
  const bool restartKey = !info[kRestartExitCodeKey].isNull();
  if (!single && !restartKey && !info[kLauncherServicesKey].boolValue()) {
    dropInstanceHandover();
    dropRestartBookkeeping();
    return std::nullopt;
  }
  if (single) {
    std::vector<std::string> arguments;
    for (int i = 1; i < count; i++) arguments.emplace_back(vector[i]);
    if (forwardOrServe(bundle.identifier(), arguments) == InstanceRole::forwarded) {
      DLOG("%s [Line %d] handed this start to the running instance");
      dropRestartBookkeeping();
      return 0;
    }
  } else {
    dropInstanceHandover();
  }
  // Armed after the instance is served: its exit handler runs first, before the instance's
  // socket would be removed, and hands the socket over.
  armRestart(restartStatus(info), count, vector);
  return std::nullopt;
}

}  // namespace qmk::services
