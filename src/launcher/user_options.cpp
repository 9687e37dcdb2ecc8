// The user's own VM options file: $XDG_CONFIG_HOME/<identifier>/<name>.vmoptions, read by the
// rules of every options file when the bundle sets "qmk.userOptions". It is off unless asked
// for: whoever can write the user's home could otherwise change the runtime's options.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/service_keys.h"
#include "platform/environment.h"
#include "platform/file_manager.h"

namespace {

constexpr const char* kConfigVariable = "XDG_CONFIG_HOME";
constexpr const char* kDefaultConfigFolder = ".config";
constexpr const char* kBundleSuffix = ".app";

// One component of a path: a value that would climb out of the folder or name another one is
// refused rather than followed.
bool isFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// A relative XDG_CONFIG_HOME is ignored, as the base directory rules ask.
std::string configHome(const std::string& home) {
  auto configured = platform::environmentValue(kConfigVariable);
  if (configured && platform::isAbsolutePath(*configured)) return *configured;
  return platform::joinPath(home, kDefaultConfigFolder);
}

// CFBundleName, or the bundle directory's name without ".app" as the launch uses elsewhere.
std::string bundleName(const plist::Value& info, const std::string& bundlePath) {
  if (auto name = info["CFBundleName"].stringValue()) return *name;
  std::string name = platform::lastPathComponent(bundlePath);
  if (name.size() > 4 && name.ends_with(kBundleSuffix)) name.resize(name.size() - 4);
  return name;
}

UserOptionsReading locate(const plist::Value& info, const std::string& bundlePath,
                          const std::string& home) {
  UserOptionsReading reading;
  const std::string identifier = info["CFBundleIdentifier"].stringValue().value_or("");
  const std::string name = bundleName(info, bundlePath);
  if (!isFileName(identifier)) {
    reading.problem = "the bundle's CFBundleIdentifier \"" + identifier + "\" cannot name a folder";
  } else if (!isFileName(name + ".vmoptions")) {
    reading.problem = "the bundle's name \"" + name + "\" cannot name a file";
  } else {
    reading.path =
        platform::joinPath(platform::joinPath(configHome(home), identifier), name + ".vmoptions");
  }
  return reading;
}

}  // namespace

OptionalString Launcher::readUserOptions(std::vector<std::string>& options,
                                         const OptionalString& classPath) {
  userOptions.reset();
  if (!info()[qmk::services::kUserOptionsKey].boolValue()) return classPath;
  userOptions = locate(info(), bundlePath(), context().homeDirectory);
  if (!userOptions->path) {
    DLOG("%s [Line %d] no user options file: %@", *userOptions->problem);
    return classPath;
  }
  struct stat status {};
  userOptions->present = ::stat(userOptions->path->c_str(), &status) == 0;
  const size_t before = options.size();
  // The path is the file's own, with nothing left to replace in it.
  OptionalString after =
      readResolvedOptionsFile(*userOptions->path, options, classPath, bundlePath());
  userOptions->added.assign(options.begin() + static_cast<long>(before), options.end());
  userOptions->classPathChanged = after != classPath;
  return after;
}
