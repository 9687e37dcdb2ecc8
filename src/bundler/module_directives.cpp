#include "bundler/module_directives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "bundler/ascii_text.h"
#include "bundler/failure.h"
#include "bundler/jar.h"
#include "bundler/runtime_image.h"
#include "bundler/runtime_packages.h"

namespace bundler {

namespace {

constexpr const char* kAllUnnamed = "ALL-UNNAMED";
// The first release whose java knows --enable-native-access; older ones refuse to start with it.
constexpr int kNativeAccessRelease = 16;

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> found;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
    const size_t end = std::min(text.find_first_of(" \t\r\n", at), text.size());
    found.push_back(text.substr(at, end - at));
    at = end;
  }
  return found;
}

std::optional<int> featureRelease(const std::string& home) {
  auto version = releaseVersion(home);
  if (!version) return std::nullopt;
  std::string feature = version->substr(0, version->find_first_of(".+-_"));
  if (feature == "1") feature = version->substr(2, version->find_first_of(".+-_", 2) - 2);
  try {
    return std::stoi(feature);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The runtime to check against: the one the bundle carries, else the JDK `create` would jlink
// from; absent when neither is there.
std::optional<std::string> runtimeToCheck(const std::optional<std::string>& embeddedHome,
                                          const RuntimeRequest& request) {
  if (embeddedHome) return embeddedHome;
  try {
    return findJdk(std::nullopt, request.minVersion, request.maxVersion);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

std::string list(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

}  // namespace

ModuleDirectives moduleDirectives(const Jar& mainJar) {
  ModuleDirectives directives;
  auto attributes = mainJar.manifest();
  if (!attributes) return directives;
  for (const auto& [name, value] : *attributes) {
    const std::string key = lowered(name);
    if (key == "add-opens") {
      for (auto& word : words(value)) directives.addOpens.push_back(word);
    } else if (key == "add-exports") {
      for (auto& word : words(value)) directives.addExports.push_back(word);
    } else if (key == "enable-native-access") {
      directives.nativeAccess = trimmed(value);
    } else if (key == "launcher-agent-class" && !trimmed(value).empty()) {
      directives.launcherAgent = trimmed(value);
    }
  }
  return directives;
}

std::vector<std::string> directiveOptions(const ModuleDirectives& directives,
                                          const std::string& home,
                                          std::vector<std::string>& leftOut) {
  const auto packages = runtimePackages(home);
  std::vector<std::string> options;
  auto add = [&](const std::vector<std::string>& targets, const std::string& option) {
    for (const auto& target : targets) {
      // java -jar takes only "module/package" here; it ignores anything else, and so do we.
      const size_t slash = target.find('/');
      if (slash == std::string::npos || slash == 0 || slash + 1 == target.size()) {
        leftOut.push_back(target);
        continue;
      }
      if (packages && !packages->contains(target)) {
        leftOut.push_back(target);
        continue;
      }
      const std::string value = option + "=" + target + "=" + kAllUnnamed;
      if (std::find(options.begin(), options.end(), value) == options.end()) options.push_back(value);
    }
  };
  add(directives.addOpens, "--add-opens");
  add(directives.addExports, "--add-exports");
  if (directives.nativeAccess == kAllUnnamed) {
    const auto release = featureRelease(home);
    if (release && *release >= kNativeAccessRelease) {
      options.push_back(std::string("--enable-native-access=") + kAllUnnamed);
    } else {
      leftOut.push_back("Enable-Native-Access");
    }
  }
  return options;
}

std::vector<std::string> manifestVmOptions(const std::string& mainJar,
                                           const std::optional<std::string>& embeddedHome,
                                           const RuntimeRequest& request,
                                           const std::string& command) {
  const ModuleDirectives directives = moduleDirectives(Jar(mainJar));
  if (directives.launcherAgent) {
    warn(command, "the manifest of " + mainJar + " names the Launcher-Agent-Class " +
                      *directives.launcherAgent + ", which only java -jar starts: the bundle " +
                      "starts without it.");
  }
  if (directives.nativeAccess && directives.nativeAccess != kAllUnnamed) {
    warn(command, "the manifest of " + mainJar + " has Enable-Native-Access: " +
                      *directives.nativeAccess + ", but only ALL-UNNAMED means anything there; " +
                      "it is left out.");
  }
  if (directives.empty()) return {};
  const auto home = runtimeToCheck(embeddedHome, request);
  if (!home) {
    std::fprintf(stderr,
                 "qmk-bundle %s: the main jar's module directives are kept as written: no "
                 "runtime to check them against (give --runtime, or install a JDK)\n",
                 command.c_str());
    std::vector<std::string> options;
    for (const auto& target : directives.addOpens) options.push_back("--add-opens=" + target + "=" + kAllUnnamed);
    for (const auto& target : directives.addExports) options.push_back("--add-exports=" + target + "=" + kAllUnnamed);
    return options;
  }
  std::vector<std::string> leftOut;
  std::vector<std::string> options = directiveOptions(directives, *home, leftOut);
  const std::string which = embeddedHome ? "the bundle's own runtime" : "the runtime " + *home;
  std::string line = "the main jar's module directives checked against " + which + " (" +
                     releaseVersion(*home).value_or("version unknown") + ")";
  if (!runtimePackages(*home)) line += " (its packages do not read: all kept)";
  if (!leftOut.empty()) line += "; left out, as java -jar would: " + list(leftOut);
  std::fprintf(stderr, "qmk-bundle %s: %s\n", command.c_str(), line.c_str());
  return options;
}

std::optional<std::string> modulePackageOf(const std::string& value) {
  const size_t equals = value.find('=');
  const std::string target = value.substr(0, equals);
  const size_t slash = target.find('/');
  if (equals == std::string::npos || slash == std::string::npos) return std::nullopt;
  return target;
}

}  // namespace bundler
