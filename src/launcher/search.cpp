// Choosing the runtime for a launch: a runtime shipped with the application first, then the
// application's search sequence; or, in registry mode, the runtimes of earlier installations.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/Launcher.h"
#include "launcher/Unpacker.h"
#include "launcher/global.h"
#include "launcher/text.h"
#include "platform/environment.h"

namespace {

constexpr const char* kInstallationsSuite = "com.quillmark.installations";
constexpr const char* kInstallationsKey = "/com/quillmark/installations/";
constexpr const char* kVersionFile = "quillmark_jre_version";
constexpr const char* kTestDirectory = "_qmk_testdir";
// What a shipped plain runtime directory is taken to be, unread.
constexpr const char* kShippedPlainVersion = "1.7.0";

struct SearchSettings {
  OptionalString minVersion;
  OptionalString maxVersion;
  OptionalString vmIdPrefix;
  bool allowBeta = false;
};

SearchSettings readSettings(const plist::Value& info) {
  return {info["qmk.minVersion"].stringValue(), info["qmk.maxVersion"].stringValue(),
          info["qmk.vmIdPrefix"].stringValue(), info["qmk.allowBeta"].boolValue()};
}

// "qmk.baseDir" with the bundle path in place of "$APP_PACKAGE"; an empty value names no
// directory.
// Resolved now, against the current directory, so that the recorded runtime path stays right
// after the launch moves to its working directory.
OptionalString baseDirectory(const plist::Value& info, const std::string& bundlePath) {
  OptionalString base = info["qmk.baseDir"].stringValue();
  if (!base || base->empty()) return std::nullopt;
  return platform::absolutePath(qmk::replaceAppPackage(*base, bundlePath));
}

// Ends the process after a failure the user has been told about. _exit after flushing: the
// installer may search on its worker thread while the main thread still runs, and static
// destructors must not run under it.
[[noreturn]] void endProcess(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

// The shipped runtime's home: a bundle keeps it in Contents/Home, a plain directory is one.
std::string shippedHome(const Launcher& launcher) {
  if (launcher.javaBundle && !launcher.javaBundle->isPlainRuntimeHome()) {
    return platform::joinPath(*launcher.javaBundlePath, "Contents/Home");
  }
  return *launcher.javaBundlePath;
}

// Packed archives of a shipped runtime must be expanded before it can run. When that fails the
// launch cannot go on; the message says whether the runtime's folder is writable at all.
void expandShippedRuntime(Launcher& launcher, platform::FileManager& fileManager) {
  const std::string home = shippedHome(launcher);
  DLOG("%s [Line %d] Running unpacker on %@", home);
  if (Unpacker::unpack(platform::joinPath(home, "jre"), nullptr) &&
      Unpacker::unpack(home, nullptr)) {
    return;
  }
  const std::string testDir = platform::joinPath(home, kTestDirectory);
  if (fileManager.fileExists(testDir) || !fileManager.createDirectory(testDir, false)) {
    Launcher::displayError(launcher.context(), "NonWritablePackDir");
    endProcess(1);
  }
  if (::rmdir(testDir.c_str()) != 0) ALOG("%s [Line %d] could not remove _qmk_testdir");
  Launcher::displayError(launcher.context(), "vexel.InternalError",
                         std::string("could not run unpack200"));
  endProcess(1);
}

// Sets javaBundle for a bundle found at `path`; true when there is one.
bool openShippedBundle(Launcher& launcher, const std::string& path) {
  launcher.javaBundlePath = path;
  launcher.javaBundle = platform::Bundle::create(path);
  return launcher.javaBundle != nullptr;
}

// Looks for a runtime shipped with the application. True when one was found, accepted or not:
// then the search sequence is not consulted.
bool useShippedRuntime(Launcher& launcher, platform::FileManager& fileManager) {
  const std::string& bundlePath = launcher.bundlePath();
  bool found =
      openShippedBundle(launcher,
                        platform::joinPath(bundlePath, "Contents/Resources/jre.bundle")) ||
      openShippedBundle(launcher, platform::joinPath(bundlePath, "Contents/PlugIns/jre.bundle"));
  if (!found) {
    if (OptionalString base = baseDirectory(launcher.info(), bundlePath)) {
      const std::string bundle = platform::joinPath(*base, ".quillmark/jre.bundle");
      const std::string plain = platform::joinPath(*base, ".quillmark/jre");
      if (fileManager.isDirectory(bundle)) {
        found = openShippedBundle(launcher, bundle);
      } else {
        launcher.javaBundlePath = plain;
        if (fileManager.isDirectory(plain)) {
          launchJavaVersion = ::strdup(kShippedPlainVersion);
          found = launchJavaVersion != nullptr;
          launcher.noteCandidate(plain, std::string(kShippedPlainVersion), std::nullopt);
        }
      }
    }
  }
  if (!found) return false;
  if (!launchJavaVersion) {
    launchJavaVersion =
        launcher.checkJavaVersion(std::nullopt, std::nullopt, true, false, std::nullopt);
  }
  if (!launcher.context().explainOnly) expandShippedRuntime(launcher, fileManager);
  return true;
}

void followSearchSequence(Launcher& launcher, platform::FileManager& fileManager,
                          const SearchSettings& s) {
  const plist::Value& sequence = launcher.info()["JavaVM"]["SearchSequence"];
  DLOG("%s [Line %d] search sequence %@", sequence);
  if (!sequence.isArray()) {
    launcher.findPublicJavaBundle(fileManager, s.minVersion, s.maxVersion, s.vmIdPrefix,
                                  s.allowBeta);
    return;
  }
  for (const plist::Value& item : *sequence.asArray()) {
    const std::string* entry = item.asString();
    if (entry && !entry->empty()) {
      const std::string argument = entry->substr(1);
      switch ((*entry)[0]) {
        case 'Y':
          DLOG("%s [Line %d] checking standard locations");
          launcher.findPublicJavaBundle(fileManager, s.minVersion, s.maxVersion, s.vmIdPrefix,
                                        s.allowBeta);
          break;
        case 'R':
          DLOG("%s [Line %d] checking directory %@", argument);
          launcher.findDirectoryJavaBundle(argument, fileManager, s.minVersion, s.maxVersion,
                                           s.vmIdPrefix, s.allowBeta);
          break;
        case 'E':
          DLOG("%s [Line %d] checking environment variable %@", argument);
          if (OptionalString value = platform::environmentValue(argument)) {
            launcher.findDirectoryJavaBundle(value, fileManager, s.minVersion, s.maxVersion,
                                             s.vmIdPrefix, s.allowBeta);
          } else {
            launcher.noteCandidate("$" + argument, std::nullopt, "the variable is not set");
          }
          break;
        default:
          break;
      }
    }
    if (launcher.javaBundle) return;
  }
}

// The installation directories in the registry's order; empty pieces are directories too.
std::vector<std::string> splitDirectories(const std::string& list) {
  std::vector<std::string> directories;
  size_t start = 0;
  for (size_t at; (at = list.find(';', start)) != std::string::npos; start = at + 1) {
    directories.push_back(list.substr(start, at - start));
  }
  directories.push_back(list.substr(start));
  return directories;
}

OptionalString stringEntry(const plist::Dictionary& dictionary, const std::string& key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? std::nullopt : it->second.stringValue();
}

// Tries the runtime of one installation directory; true when it was accepted.
bool tryInstallation(Launcher& launcher, platform::FileManager& fileManager,
                     const SearchSettings& s, const plist::Dictionary& registry,
                     const std::string& appId, const std::string& dir) {
  std::string candidate;
  bool plain = false;
  if (OptionalString name =
          stringEntry(registry, platform::format("singleBundleName%@_%@", appId, dir))) {
    candidate =
        platform::absolutePath(platform::format("%@/%@/Contents/Resources/jre.bundle", dir, *name));
    if (!fileManager.fileExists(candidate)) {
      candidate =
          platform::absolutePath(platform::format("%@/%@/Contents/PlugIns/jre.bundle", dir, *name));
    }
  } else {
    candidate = platform::absolutePath(platform::format("%@/.quillmark/jre.bundle", dir));
    const std::string plainDir = platform::absolutePath(platform::format("%@/.quillmark/jre", dir));
    if (!fileManager.isDirectory(candidate) && fileManager.isDirectory(plainDir) &&
        fileManager.isRegularFile(platform::joinPath(plainDir, kVersionFile))) {
      if (OptionalString version =
              fileManager.readUtf8File(platform::joinPath(plainDir, kVersionFile))) {
        candidate = plainDir;
        plain = true;
        launcher.javaBundlePath = candidate;
        launchJavaVersion = launcher.checkBundleVersion(s.minVersion, s.maxVersion, s.allowBeta,
                                                        false, version, std::nullopt, std::nullopt);
      }
    }
  }
  launcher.javaBundlePath = candidate;
  DLOG("%s [Line %d] checking %@", candidate);
  if (plain) return launchJavaVersion != nullptr;
  if (!fileManager.fileExists(candidate)) {
    launcher.noteCandidate(candidate, std::nullopt, "nothing there");
    return false;
  }
  launcher.javaBundle = platform::Bundle::create(candidate);
  launchJavaVersion =
      launcher.checkJavaVersion(s.minVersion, s.maxVersion, s.allowBeta, false, s.vmIdPrefix);
  if (launchJavaVersion) return true;
  launcher.javaBundle.reset();
  return false;
}

void searchRegistry(Launcher& launcher, platform::FileManager& fileManager,
                    const SearchSettings& s) {
  OptionalString appId = launcher.info()["qmk.appId"].stringValue();
  platform::UserDefaults defaults = launcher.context().standardUserDefaults();
  defaults.addSuite(kInstallationsSuite);
  std::optional<plist::Dictionary> registry = defaults.dictionaryForKey(kInstallationsKey);
  if (registry) {
    DLOG("%s [Line %d] %@", plist::Value::dictionary(*registry));
  } else {
    DLOG("%s [Line %d] %@", nullptr);
  }
  if (!registry || !appId) return;
  OptionalString directories = stringEntry(*registry, platform::format("allinstdirs%@", *appId));
  if (!directories) return;
  for (const std::string& dir : splitDirectories(*directories)) {
    if (tryInstallation(launcher, fileManager, s, *registry, *appId, dir)) return;
  }
}

}  // namespace

OptionalString Launcher::findJavaBundle(bool registry) {
  platform::FileManager fileManager;
  launchJavaVersion = nullptr;
  javaBundle.reset();
  pluginUsed = false;
  javaBundlePath.reset();
  candidates_.clear();
  const SearchSettings settings = readSettings(info());

  if (registry) {
    searchRegistry(*this, fileManager, settings);
  } else if (!useShippedRuntime(*this, fileManager)) {
    followSearchSequence(*this, fileManager, settings);
  }

  if (!launchJavaVersion) {
    // Nothing accepted: no path, and no handle of a refused candidate either.
    javaBundlePath.reset();
    javaBundle.reset();
  }
  return javaBundlePath;
}
