// Variable references in configuration strings: the bundle path, the launcher variables and
// braced environment variables, each replaced in one left-to-right pass in a fixed order.
#include <string>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "platform/environment.h"
#include "platform/file_manager.h"

namespace {

constexpr const char* kAppPackage = "$APP_PACKAGE";
constexpr const char* kLauncherDirectory = "${launcher:sys.launcherDirectory}";
constexpr const char* kPathlistSeparator = "${launcher:sys.pathlistSeparator}";
constexpr const char* kTempDir = "${launcher:sys.tempDir}";
constexpr const char* kJvmHome = "${launcher:sys.jvmHome}";

// Replaces every occurrence of `from`, left to right without overlaps; inserted text is not
// scanned again by this replacement.
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  std::string out;
  size_t start = 0;
  for (size_t pos; (pos = text.find(from, start)) != std::string::npos; start = pos + from.size()) {
    out.append(text, start, pos - start);
    out += to;
  }
  if (start == 0) return;
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

}  // namespace

OptionalString Launcher::replaceVariables(const OptionalString& s) const {
  DLOG("%s [Line %d] replacing %@", s);
  if (!s) {
    DLOG("%s [Line %d] returning %@", s);
    return s;
  }
  std::string text = *s;
  replaceAll(text, kAppPackage, bundlePath());
  replaceAll(text, kLauncherDirectory, bundlePath());
  replaceAll(text, kPathlistSeparator, ":");
  replaceAll(text, kTempDir, platform::temporaryDirectory());
  if (javaBundlePath) replaceAll(text, kJvmHome, runtimeHome(*javaBundlePath));
  // Every environment reference begins with "${": once none is left, no later variable can match.
  for (const auto& [name, value] : platform::environment()) {
    if (text.find("${") == std::string::npos) break;
    replaceAll(text, "${" + name + "}", value);
  }
  OptionalString result = std::move(text);
  DLOG("%s [Line %d] returning %@", result);
  return result;
}
