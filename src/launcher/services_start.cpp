// Which launcher services a plain start sets up, decided from the bundle's keys.
#include "launcher/services_start.h"

#include <vector>

#include "launcher/global.h"
#include "launcher/service_keys.h"
#include "launcher/single_instance.h"

namespace qmk::services {

std::optional<int> prepareStart(const platform::Bundle& bundle, int count, char** vector) {
  const ServiceKeys keys = readServiceKeys(bundle.info());
  // A restart key that cannot be used still arms the restart the Java API asks for.
  if (!keys.on() && !keys.unusableRestartExitCode) {
    dropInstanceHandover();
    dropRestartBookkeeping();
    return std::nullopt;
  }
  if (keys.singleInstance) {
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
  if (keys.unusableRestartExitCode) {
    ALOG("%s [Line %d] %s %@ is not an exit status from 1 to 255; the application is not "
         "restarted on exit",
         kRestartExitCodeKey, *keys.unusableRestartExitCode);
  }
  // Armed after the instance is served: its exit handler runs first, before the instance's
  // socket would be removed, and hands the socket over.
  armRestart(keys.restartExitCode, count, vector);
  return std::nullopt;
}

}  // namespace qmk::services
