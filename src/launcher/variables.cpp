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
  if (!s) {
    DLOG("%s [Line %d] replacing %@", s);
    DLOG("%s [Line %d] returning %@", s);
    return s;
  }
  return substituteVariables(*s).text();
}

qmk::MarkedText Launcher::substituteVariables(std::string_view s) const {
  DLOG("%s [Line %d] replacing %@", std::string(s));
  using Inserted = qmk::MarkedText::Inserted;
  qmk::MarkedText text(s);
  // Every variable begins with "$"; the class path of a large application does not.
  if (s.find('$') == std::string_view::npos) {
    DLOG("%s [Line %d] returning %@", text.text());
    return text;
  }
  // The bundle path is kept: a "~" in it names a folder, never the home directory.
  text.replaceAll(kAppPackage, bundlePath(), Inserted::Kept);
  text.replaceAll(kLauncherDirectory, bundlePath(), Inserted::Kept);
  text.replaceAll(kPathlistSeparator, ":");
  // Values that cost a look at the file system are found only when they are asked for.
  if (text.text().find(kTempDir) != std::string::npos) {
    text.replaceAll(kTempDir, platform::temporaryDirectory());
  }
  if (javaBundlePath && text.text().find(kJvmHome) != std::string::npos) {
    text.replaceAll(kJvmHome, runtimeHome(*javaBundlePath));
  }
  // Every environment reference begins with "${": once none is left, no later variable can
  // match. Most configuration strings have none, and they are substituted one by one at start.
  if (text.text().find("${") != std::string::npos) {
    // Visited in bytewise order of the names (the environment's own order).
    for (const auto& [name, value] : platform::environment()) {
      text.replaceAll("${" + name + "}", value);
      if (text.text().find("${") == std::string::npos) break;
    }
  }
  DLOG("%s [Line %d] returning %@", text.text());
  return text;
}
