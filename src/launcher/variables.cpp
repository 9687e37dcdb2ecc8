// Variable references in configuration strings: the bundle path, the launcher variables and
// braced environment variables, each replaced in one left-to-right pass in a fixed order.
#include <string>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/text.h"
#include "platform/environment.h"
#include "platform/file_manager.h"

namespace {

constexpr const char* kAppPackage = "$APP_PACKAGE";
constexpr const char* kLauncherDirectory = "${launcher:sys.launcherDirectory}";
constexpr const char* kPathlistSeparator = "${launcher:sys.pathlistSeparator}";
constexpr const char* kTempDir = "${launcher:sys.tempDir}";
constexpr const char* kJvmHome = "${launcher:sys.jvmHome}";

}  // namespace

OptionalString Launcher::replaceVariables(const OptionalString& s) const {
  DLOG("%s [Line %d] replacing %@", s);
  if (!s) {
    DLOG("%s [Line %d] returning %@", s);
    return s;
  }
  std::string text = *s;
  text = qmk::replaceAll(text, kAppPackage, bundlePath());
  text = qmk::replaceAll(text, kLauncherDirectory, bundlePath());
  text = qmk::replaceAll(text, kPathlistSeparator, ":");
  text = qmk::replaceAll(text, kTempDir, platform::temporaryDirectory());
  if (javaBundlePath) text = qmk::replaceAll(text, kJvmHome, runtimeHome(*javaBundlePath));
  // Every environment reference begins with "${": once none is left, no later variable can
  // match. Most configuration strings have none, and they are substituted one by one at start.
  if (text.find("${") != std::string::npos) {
    for (const auto& [name, value] : platform::environment()) {
      text = qmk::replaceAll(text, "${" + name + "}", value);
      if (text.find("${") == std::string::npos) break;
    }
  }
  OptionalString result = std::move(text);
  DLOG("%s [Line %d] returning %@", result);
  return result;
}
