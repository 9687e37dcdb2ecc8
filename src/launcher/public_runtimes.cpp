// Runtimes outside the application: one directory named by the search sequence, and the
// machine's standard locations (the browser plug-in where the system has one, then the public
// runtime directory, newest first).

#include <algorithm>
#include <filesystem>
#include <set>
#include <unordered_map>

#include "launcher/Launcher.h"
#include "launcher/global.h"

namespace {

constexpr const char* kPluginJava = "Contents/Home/bin/java";

// The path a candidate is recorded under: absolute, so that a later change of the working
// directory cannot make it name another place. An empty path stays empty: it names nothing.
std::string recordedPath(const std::string& path) {
  return path.empty() ? path : platform::absolutePath(path);
}

bool isOracleRuntime(const OptionalString& identifier, const OptionalString& infoString) {
  return (identifier && identifier->starts_with("com.oracle")) ||
         (infoString && infoString->find("Oracle") != std::string::npos);
}

// Newest first by the names: strip the kind prefix, then order by the version ordering. A
// comparison that fails counts as equal and the sort goes on (a stable sort stays in bounds
// whatever the comparator answers).
bool newerName(const std::string& a, const std::string& b) {
  try {
    return Launcher::compareVersion(Launcher::removeJrePrefix(b), Launcher::removeJrePrefix(a)) < 0;
  } catch (const std::exception&) {
    return false;
  }
}

// A public runtime as the release-based ordering sees it.
struct Entry {
  std::string name;
  std::string resolved;  // the real path, so that links to one runtime are recognised
  OptionalString version;
};

std::string resolvedPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

OptionalString statedVersion(const std::string& path) {
  auto bundle = platform::Bundle::create(path);
  if (!bundle) return std::nullopt;
  return bundle->infoValue("JavaVM")["JVMVersion"].stringValue();
}

// Linux names say little about the version (java-17-openjdk-amd64, temurin-25-jdk-amd64), so
// order by the version each runtime states: newest first, runtimes stating none last, ties and
// the rest by their names. Each runtime is read once however many names point at it.
std::vector<Entry> orderByStatedVersion(const std::string& directory,
                                        std::vector<std::string> names) {
  std::stable_sort(names.begin(), names.end(), newerName);
  std::unordered_map<std::string, OptionalString> versions;
  std::vector<Entry> entries;
  entries.reserve(names.size());
  for (auto& name : names) {
    std::string resolved = resolvedPath(platform::joinPath(directory, name));
    auto [it, fresh] = versions.try_emplace(resolved);
    if (fresh) it->second = statedVersion(resolved);
    entries.push_back({std::move(name), std::move(resolved), it->second});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (!a.version || !b.version) return a.version && !b.version;
    return Launcher::compareVersion(*b.version, *a.version) < 0;
  });
  return entries;
}

}  // namespace

void Launcher::findDirectoryJavaBundle(const OptionalString& path, platform::FileManager& fileManager,
                                       const OptionalString& minVersion,
                                       const OptionalString& maxVersion,
                                       const OptionalString& requiredVmIdPrefix, bool allowBeta) {
  if (!path) return;
  javaBundlePath = recordedPath(replaceVariables(path).value_or(""));
  if (!fileManager.fileExists(*javaBundlePath)) return;
  javaBundle = platform::Bundle::create(*javaBundlePath);
  launchJavaVersion = checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
  if (!launchJavaVersion) javaBundle.reset();
}

void Launcher::findPublicJavaBundle(platform::FileManager& fileManager,
                                    const OptionalString& minVersion,
                                    const OptionalString& maxVersion,
                                    const OptionalString& requiredVmIdPrefix, bool allowBeta) {
  const platform::SystemLayout& layout = context().layout;

  if (layout.pluginPath && fileManager.fileExists(*layout.pluginPath) &&
      fileManager.fileExists(platform::joinPath(*layout.pluginPath, kPluginJava))) {
    const std::string& plugin = *layout.pluginPath;
    javaBundle = platform::Bundle::create(plugin);
    if (javaBundle) {
      OptionalString infoString = javaBundle->infoValue("CFBundleGetInfoString").stringValue();
      OptionalString identifier = javaBundle->identifier();
      DLOG("%s [Line %d] JRE %@ %@ %@", plugin, infoString, identifier);
      if (isOracleRuntime(identifier, infoString)) {
        DLOG("%s [Line %d] Oracle JRE %@", plugin);
        launchJavaVersion =
            checkJavaVersion(minVersion, maxVersion, allowBeta, true, requiredVmIdPrefix);
      }
      if (launchJavaVersion) {
        javaBundlePath = plugin;
        pluginUsed = true;
      } else {
        javaBundle.reset();
      }
    }
  }
  if (javaBundle) return;

  const std::string directory = recordedPath(layout.publicRuntimeDirectory);
  std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(directory);
  if (!names) return;

  std::vector<Entry> entries;
  if (layout.orderPublicRuntimesByRelease) {
    entries = orderByStatedVersion(directory, std::move(*names));
  } else {
    std::stable_sort(names->begin(), names->end(), newerName);
    for (auto& name : *names) entries.push_back({std::move(name), {}, {}});
  }
  if (qmk::debugLogEnabled()) {
    std::vector<std::string> sorted;
    for (const Entry& entry : entries) sorted.push_back(entry.name);
    DLOG("%s [Line %d] JDKs %@", sorted);
  }

  std::set<std::string> tried;
  for (const Entry& entry : entries) {
    // Several names may lead to one runtime; one refusal is enough.
    if (layout.orderPublicRuntimesByRelease && !tried.insert(entry.resolved).second) continue;
    javaBundlePath = platform::joinPath(directory, entry.name);
    DLOG("%s [Line %d] checking %@", javaBundlePath);
    javaBundle = platform::Bundle::create(*javaBundlePath);
    launchJavaVersion = checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
    if (launchJavaVersion) return;
    javaBundle.reset();
  }
}
