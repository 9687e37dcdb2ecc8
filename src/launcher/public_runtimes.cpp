// Runtimes outside the application: one directory named by the search sequence, and the
// machine's standard locations (the browser plug-in where the system has one, then the public
// runtime directory, newest first).

#include <algorithm>
#include <filesystem>
#include <memory>
#include <unordered_set>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/version.h"

namespace {

constexpr const char* kPluginJava = "Contents/Home/bin/java";

bool isOracleRuntime(const OptionalString& identifier, const OptionalString& infoString) {
  return (identifier && identifier->starts_with("com.oracle")) ||
         (infoString && infoString->find("Oracle") != std::string::npos);
}

// Newest first by the names: strip the kind prefix, then order by the version ordering. Each
// name is split into tokens once, not at every comparison, and comparing tokens cannot fail.
void sortNewestByName(std::vector<std::string>& names) {
  std::vector<std::pair<qmk::VersionKey, std::string>> keyed;
  keyed.reserve(names.size());
  for (auto& name : names)
    keyed.emplace_back(qmk::versionKey(Launcher::removeJrePrefix(name)), std::move(name));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return qmk::compareVersionKeys(b.first, a.first) < 0;
  });
  names.clear();
  for (auto& [key, name] : keyed) names.push_back(std::move(name));
}

// A public runtime in the order it is tried. The release-based ordering keeps only the version
// it orders by: a candidate is opened again when its turn comes, so that one large or broken
// runtime costs its own turn and is never held while the others are tried.
struct Entry {
  std::string name;
  std::optional<qmk::VersionKey> version;
};

std::optional<qmk::VersionKey> statedVersion(const std::string& path) {
  const std::shared_ptr<platform::Bundle> bundle = platform::Bundle::create(path);
  if (!bundle) return std::nullopt;
  OptionalString version = bundle->infoValue("JavaVM")["JVMVersion"].stringValue();
  if (!version) return std::nullopt;
  return qmk::versionKey(*version);
}

std::string resolvedPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

// The names in `directory` that are links: only a link can lead to a runtime listed under
// another name. One pass over the directory answers this for every name.
std::unordered_set<std::string> linkNames(const std::string& directory) {
  std::unordered_set<std::string> links;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code typeError;
    if (it->is_symlink(typeError)) links.insert(it->path().filename().string());
  }
  return links;
}

// Linux names say little about the version (java-17-openjdk-amd64, temurin-25-jdk-amd64), so
// order by the version each runtime states: newest first, runtimes stating none last, ties and
// the rest by their names. A name that leads to a runtime listed before it (java-1.17.0-openjdk
// beside java-17-openjdk) is left out: one refusal is enough.
std::vector<Entry> orderByStatedVersion(const std::string& directory,
                                        std::vector<std::string> names) {
  sortNewestByName(names);
  const std::string realDirectory = resolvedPath(directory);
  const std::unordered_set<std::string> links = linkNames(directory);
  std::unordered_set<std::string> seen;
  std::vector<Entry> entries;
  entries.reserve(names.size());
  for (auto& name : names) {
    const std::string path = platform::joinPath(directory, name);
    const std::string real =
        links.contains(name) ? resolvedPath(path) : platform::joinPath(realDirectory, name);
    if (!seen.insert(real).second) continue;
    entries.push_back({std::move(name), statedVersion(path)});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (!a.version || !b.version) return a.version && !b.version;
    return qmk::compareVersionKeys(*b.version, *a.version) < 0;
  });
  return entries;
}

}  // namespace

void Launcher::findDirectoryJavaBundle(const OptionalString& path,
                                       platform::FileManager& fileManager,
                                       const OptionalString& minVersion,
                                       const OptionalString& maxVersion,
                                       const OptionalString& requiredVmIdPrefix, bool allowBeta) {
  if (!path) return;
  // Recorded absolute, so that a later change of the working directory cannot make it name
  // another place.
  javaBundlePath = platform::absolutePath(replaceVariables(path).value_or(""));
  if (!fileManager.fileExists(*javaBundlePath)) {
    noteCandidate(*javaBundlePath, std::nullopt, "nothing there");
    return;
  }
  javaBundle = platform::Bundle::create(*javaBundlePath);
  launchJavaVersion =
      checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
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

  const std::string directory = platform::absolutePath(layout.publicRuntimeDirectory);
  std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(directory);
  if (!names) {
    noteCandidate(directory, std::nullopt, "the directory of installed runtimes cannot be listed");
    return;
  }

  std::vector<Entry> entries;
  if (layout.orderPublicRuntimesByRelease) {
    entries = orderByStatedVersion(directory, std::move(*names));
  } else {
    sortNewestByName(*names);
    for (auto& name : *names) entries.emplace_back().name = std::move(name);
  }
  if (qmk::debugLogEnabled()) {
    std::vector<std::string> sorted;
    sorted.reserve(entries.size());
    for (const Entry& entry : entries) sorted.push_back(entry.name);
    DLOG("%s [Line %d] JDKs %@", sorted);
  }

  for (Entry& entry : entries) {
    javaBundlePath = platform::joinPath(directory, entry.name);
    DLOG("%s [Line %d] checking %@", javaBundlePath);
    javaBundle = platform::Bundle::create(*javaBundlePath);
    launchJavaVersion =
        checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
    if (launchJavaVersion) return;
    javaBundle.reset();
  }
}
