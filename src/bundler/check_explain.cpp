// qmk-bundle check, the launch itself: the Launcher of appstub run on the bundle as far as it
// goes before the runtime library would be loaded, with nothing applied to this process beyond
// the current directory and nothing written anywhere.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bundler/check_report.h"
#include "launcher/Launcher.h"
#include "launcher/Unpacker.h"
#include "launcher/global.h"
#include "platform/exception.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInternalError = "vexel.InternalError";
constexpr const char* kJreBundleOption = "-Dqmk.jreBundle=";

std::string infoPlistPath(const std::string& bundle) {
  platform::FileManager files;
  const std::string contents = platform::joinPath(bundle, "Contents");
  return files.isDirectory(contents) ? platform::joinPath(contents, "Info.plist")
                                     : platform::joinPath(bundle, "Info.plist");
}

bool presentAsLink(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Contents/MacOS/<CFBundleExecutable>; without that key the one program in Contents/MacOS.
std::optional<std::string> findLauncher(const std::string& bundle, const plist::Value& info) {
  const std::string macos = platform::joinPath(bundle, "Contents/MacOS");
  if (auto name = info["CFBundleExecutable"].stringValue()) {
    const std::string path = platform::joinPath(macos, *name);
    return presentAsLink(path) ? std::optional(path) : std::nullopt;
  }
  auto names = platform::FileManager().contentsOfDirectory(macos);
  if (names && names->size() == 1) return platform::joinPath(macos, names->front());
  return std::nullopt;
}

// The path a user's start would hand appstub as its program path.
std::string programPath(const std::string& bundle, const plist::Value& info,
                        const std::optional<std::string>& launcher) {
  if (launcher) return *launcher;
  std::string name = info["CFBundleExecutable"].stringValue().value_or(
      platform::lastPathComponent(bundle));
  if (name.ends_with(".app")) name.resize(name.size() - 4);
  return platform::joinPath(bundle, "Contents/MacOS/" + name);
}

bool isShippedRuntime(const std::string& bundle, const std::string& runtime) {
  return runtime == platform::joinPath(bundle, "Contents/Resources/jre.bundle") ||
         runtime == platform::joinPath(bundle, "Contents/PlugIns/jre.bundle") ||
         runtime.ends_with("/.quillmark/jre.bundle") || runtime.ends_with("/.quillmark/jre");
}

// What the launch would hand unpack200 for a shipped runtime: its home's jre folder, then the
// home itself, the way the search expands them.
void notePackedArchives(CheckReport& report, const std::string& runtime, bool bundleForm) {
  const std::string home = bundleForm ? platform::joinPath(runtime, "Contents/Home") : runtime;
  platform::FileManager files;
  for (const std::string& dir : {platform::joinPath(home, "jre"), home}) {
    std::vector<std::string> packed;
    Unpacker::addPackedFiles(packed, "lib", dir, files);
    Unpacker::addPackedFiles(packed, "lib/ext", dir, files);
    if (packed.empty()) continue;
    for (const auto& relative : packed) report.packedArchives.push_back(platform::joinPath(dir, relative));
    const std::string tool = platform::joinPath(dir, "bin/unpack200");
    if (::access(tool.c_str(), X_OK) != 0) {
      report.failures.push_back("the launch would expand packed archives with " + tool +
                                ", which cannot be run: it would stop with vexel.InternalError");
    }
  }
}

struct LoadOutcome {
  bool loaded = false;
  std::optional<std::string> stop;  // the exception's description when the launch would stop
};

LoadOutcome runLoad(Launcher& launcher, const std::string& program) {
  try {
    launcher.load(program.c_str());
    return {true, std::nullopt};
  } catch (const platform::Exception& e) {
    return {false, e.description()};
  } catch (const std::exception& e) {
    return {false, std::string(e.what())};
  }
}

std::vector<std::string> installedVector() {
  std::vector<std::string> vector;
  for (int i = 0; i < ::argc && ::argv != nullptr; i++) vector.emplace_back(::argv[i]);
  return vector;
}

}  // namespace

CheckReport explainLaunch(const std::string& bundlePath, const std::vector<std::string>& arguments) {
  CheckReport report;
  auto bundle = platform::Bundle::create(bundlePath);
  report.bundle = bundle->path();
  report.infoPlist = infoPlistPath(report.bundle);
  plist::Reading reading = plist::readFileWithReason(report.infoPlist);
  if (!reading.value) {
    report.infoPlistProblem = reading.reason;
    report.failures.push_back(report.infoPlist + " does not read: " + reading.reason);
  } else if (!reading.value->isDictionary()) {
    report.infoPlistProblem = "not a dictionary";
    report.failures.push_back(report.infoPlist + " is not a dictionary");
  }

  report.version = bundle->infoValue("CFBundleShortVersionString").stringValue();
  if (!report.version) report.version = bundle->infoValue("CFBundleVersion").stringValue();
  report.launcher = findLauncher(report.bundle, bundle->info());
  const std::string program = programPath(report.bundle, bundle->info(), report.launcher);
  // The launcher reads the bundle its real path lies in, which a link may make another one.
  std::shared_ptr<platform::Bundle> mainBundle = bundle;
  if (report.launcher && platform::FileManager().fileExists(*report.launcher)) {
    if (auto real = platform::Bundle::forExecutable(*report.launcher)) mainBundle = real;
  }
  if (mainBundle->path() != report.bundle) {
    report.warnings.push_back("the launcher lies in " + mainBundle->path() +
                              ": appstub reads that bundle, not this one");
  }

  std::vector<std::string> notices;
  LaunchContext context;
  context.mainBundle = mainBundle;
  context.arguments = {program};
  context.arguments.insert(context.arguments.end(), arguments.begin(), arguments.end());
  context.homeDirectory = platform::homeDirectory();
  context.showNotice = [&notices](const std::optional<std::string>&, const std::string& message) {
    notices.push_back(message);
  };
  context.applyProcessSettings = false;
  context.explainOnly = true;

  Launcher launcher(context);
  LoadOutcome outcome = runLoad(launcher, program);
  report.candidates = launcher.candidates();
  // Relative class-path scans and options files are read in the working directory the launch
  // runs in: read them there for the launch vector, as the launch would.
  if (auto dir = launcher.processSettings().workingDirectory) {
    platform::FileManager files;
    const std::string started = files.currentDirectory();
    if (files.changeCurrentDirectory(*dir)) {
      Launcher inPlace(context);
      outcome = runLoad(inPlace, program);
      files.changeCurrentDirectory(started);
    }
  }
  report.workingDirectory = launcher.processSettings().workingDirectory;
  report.startupCache = launcher.startupCacheReason;
  report.lang = launcher.processSettings().lang;

  if (launcher.javaBundlePath) {
    ChosenRuntime runtime;
    runtime.path = *launcher.javaBundlePath;
    runtime.version = launcher.javaVersion;
    runtime.library = launcher.libraryPath();
    runtime.home = launcher.javaBundle && launcher.javaBundle->isPlainRuntimeHome()
                       ? runtime.path
                       : Launcher::runtimeHome(runtime.path);
    if (!platform::FileManager().fileExists(runtime.library)) {
      report.failures.push_back("no launcher library at " + runtime.library +
                                ": the launch would stop with \"Could not load JRE.\"");
    }
    if (isShippedRuntime(report.bundle, runtime.path)) {
      notePackedArchives(report, runtime.path,
                         !(launcher.javaBundle && launcher.javaBundle->isPlainRuntimeHome()) &&
                             !runtime.path.ends_with("/.quillmark/jre"));
    }
    report.runtime = runtime;
  }

  if (outcome.stop) {
    Launcher::displayError(context, kInternalError, *outcome.stop);
    report.failures.push_back("the launch would stop: " + *outcome.stop);
  } else if (!launcher.javaBundlePath) {
    launcher.launch();  // with no runtime it only shows its notice
    report.failures.push_back("no runtime fits");
  } else {
    report.launchVector = installedVector();
  }
  for (const auto& notice : notices) report.failures.push_back("the user would see: " + notice);

  addConfigurationWarnings(report, launcher);
  addSplashWarnings(report, launcher.info()["JavaVM"], launcher.bundlePath());
  if (report.runtime && report.launchVector) addRuntimeOptionWarnings(report);
  return report;
}

}  // namespace bundler
