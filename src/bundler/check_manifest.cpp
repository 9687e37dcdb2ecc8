// qmk-bundle check, what the jars' manifests ask of the start: Class-Path entries that lead out
// of the bundle or to nothing, module options for packages the chosen runtime lacks, and a
// Launcher-Agent-Class that only java -jar starts.
#include <algorithm>
#include <string>
#include <vector>

#include "bundler/check_report.h"
#include "bundler/jar.h"
#include "bundler/manifest_class_path.h"
#include "bundler/module_directives.h"
#include "bundler/runtime_packages.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr const char* kClassPathOption = "-Djava.class.path=";
constexpr const char* kJreBundleOption = "-Dqmk.jreBundle=";

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The VM options of the launch vector: what comes before the runtime's own property.
std::vector<std::string> vmOptions(const std::vector<std::string>& vector) {
  std::vector<std::string> options;
  for (size_t i = 1; i < vector.size() && !vector[i].starts_with(kJreBundleOption); i++) {
    options.push_back(vector[i]);
  }
  return options;
}

// The jars of the class path the launch hands over, in order.
std::vector<std::string> classPathJars(const std::vector<std::string>& options) {
  std::vector<std::string> jars;
  for (const auto& option : options) {
    if (!option.starts_with(kClassPathOption)) continue;
    for (const auto& entry : splitAt(option.substr(std::string(kClassPathOption).size()), ':')) {
      if (platform::FileManager().isRegularFile(entry)) jars.push_back(entry);
    }
  }
  return jars;
}

bool inside(const std::string& path, const std::string& bundle) {
  return path.starts_with(bundle + "/");
}

void checkClassPathManifests(CheckReport& report, const std::vector<Jar>& jars) {
  platform::FileManager files;
  for (const Jar& jar : jars) {
    for (const auto& reference : manifestClassPath(jar)) {
      if (!reference.path) continue;
      if (!files.fileExists(*reference.path)) {
        report.warnings.push_back("the manifest of " + jar.path() + " names " + reference.written +
                                  " in its Class-Path, which does not exist");
      } else if (!inside(*reference.path, report.bundle)) {
        report.warnings.push_back("the manifest of " + jar.path() + " names " + reference.written +
                                  " in its Class-Path, outside the bundle: the bundle depends on "
                                  "this machine's " + *reference.path +
                                  " (qmk-bundle create copies such files into the bundle)");
      }
    }
  }
}

// --add-opens and --add-exports, in either form, and the "module/package" each names.
std::vector<std::string> modulePackagesNamed(const std::vector<std::string>& options) {
  std::vector<std::string> named;
  for (size_t i = 0; i < options.size(); i++) {
    std::optional<std::string> target;
    for (const std::string option : {"--add-opens", "--add-exports"}) {
      if (options[i].starts_with(option + "=")) {
        target = modulePackageOf(options[i].substr(option.size() + 1));
      } else if (options[i] == option && i + 1 < options.size()) {
        target = modulePackageOf(options[++i]);
      }
    }
    if (target) named.push_back(*target);
  }
  return named;
}

void checkModuleOptions(CheckReport& report, const std::vector<std::string>& options) {
  const auto named = modulePackagesNamed(options);
  if (named.empty()) return;
  const auto packages = runtimePackages(report.runtime->home);
  if (!packages) return;
  for (const auto& target : named) {
    if (!packages->contains(target)) {
      report.warnings.push_back("a VM option opens or exports " + target + ", which the runtime " +
                                report.runtime->path + " lacks: java warns about it at each start");
    }
  }
}

void checkLauncherAgent(CheckReport& report, const std::vector<Jar>& jars,
                        const std::optional<std::string>& mainClass) {
  if (!mainClass) return;
  std::string entry = *mainClass;
  std::replace(entry.begin(), entry.end(), '.', '/');
  auto main = std::find_if(jars.begin(), jars.end(),
                           [&](const Jar& jar) { return jar.contains(entry + ".class"); });
  if (main == jars.end()) return;
  if (auto agent = moduleDirectives(*main).launcherAgent) {
    report.warnings.push_back("the main jar " + main->path() + " names the Launcher-Agent-Class " +
                              *agent + ", which only java -jar starts: the bundle starts without it");
  }
}

}  // namespace

void addManifestWarnings(CheckReport& report, const Launcher& launcher) {
  if (!report.launchVector || !report.runtime) return;
  const std::vector<std::string> options = vmOptions(*report.launchVector);
  std::vector<Jar> jars;
  for (const auto& path : classPathJars(options)) {
    try {
      jars.emplace_back(path);
    } catch (const std::exception&) {
      // Not a jar: the class-path warnings speak of entries, not of their contents.
    }
  }
  checkClassPathManifests(report, jars);
  checkModuleOptions(report, options);
  checkLauncherAgent(report, jars, launcher.info()["JavaVM"]["MainClass"].stringValue());
}

}  // namespace bundler
