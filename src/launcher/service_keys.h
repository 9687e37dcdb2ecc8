// The launcher services a bundle asks for in its property list: the Java API's natives, one
// instance per user, restart on a chosen exit status. A bundle that asks for none of them is
// launched exactly as before: no option is added and the natives do not bind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace qmk::services {

inline constexpr const char* kLauncherServicesKey = "qmk.launcherServices";
inline constexpr const char* kSingleInstanceKey = "qmk.singleInstance";
inline constexpr const char* kRestartExitCodeKey = "qmk.restartExitCode";
// Not a service of the natives: whether the user's own options file is read.
inline constexpr const char* kUserOptionsKey = "qmk.userOptions";
// Runtimes from this version on warn when a class-path library binds natives without it.
inline constexpr int32_t kFirstWarningRuntime = 24;
inline constexpr const char* kNativeAccessOption = "--enable-native-access=ALL-UNNAMED";

struct ServiceKeys {
  bool launcherServices = false;
  bool singleInstance = false;
  // The status that asks for a restart, 1 to 255; absent when the key is missing or its value
  // is outside that range (the process's exit status could never equal it).
  std::optional<int> restartExitCode;
  // The key's value as written when it is present but unusable, for check to report.
  std::optional<std::string> unusableRestartExitCode;

  bool on() const { return launcherServices || singleInstance || restartExitCode.has_value(); }
};

ServiceKeys readServiceKeys(const plist::Value& info);

// What the launch vector gains for the services on a runtime of `javaMajorVersion`: nothing
// when they are off, or where the runtime binds natives silently anyway.
std::vector<std::string> serviceOptions(const ServiceKeys& keys, int32_t javaMajorVersion);

}  // namespace qmk::services
