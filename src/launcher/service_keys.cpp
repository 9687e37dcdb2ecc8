// Reading the service keys with the platform's own boolean and integer readings, so that a
// bundle written by hand ("YES", "9") means what it would mean to any other key.
#include "launcher/service_keys.h"

namespace qmk::services {

namespace {

constexpr int kLowestStatus = 1;
constexpr int kHighestStatus = 255;

bool isScalar(const plist::Value& value) {
  switch (value.type()) {
    case plist::Value::Type::Boolean:
    case plist::Value::Type::Integer:
    case plist::Value::Type::Real:
    case plist::Value::Type::String:
      return true;
    default:
      return false;
  }
}

}  // namespace

ServiceKeys readServiceKeys(const plist::Value& info) {
  ServiceKeys keys;
  keys.launcherServices = info[kLauncherServicesKey].boolValue();
  keys.singleInstance = info[kSingleInstanceKey].boolValue();
  const plist::Value& restart = info[kRestartExitCodeKey];
  if (restart.isNull()) return keys;
  const int32_t status = isScalar(restart) ? restart.intValue() : 0;
  if (isScalar(restart) && status >= kLowestStatus && status <= kHighestStatus) {
    keys.restartExitCode = status;
  } else {
    keys.unusableRestartExitCode = restart.description();
  }
  return keys;
}

std::vector<std::string> serviceOptions(const ServiceKeys& keys, int32_t javaMajorVersion) {
  if (!keys.on() || javaMajorVersion < kFirstWarningRuntime) return {};
  return {kNativeAccessOption};
}

}  // namespace qmk::services
