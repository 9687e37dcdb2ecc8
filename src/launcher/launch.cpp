// The entry of the launch core: one process start becomes one call of JLI_Launch.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/jli.h"
#include "launcher/main_info.h"
#include "launcher/service_keys.h"
#include "launcher/services.h"
#include "launcher/services_start.h"
#include "launcher/single_instance.h"
#include "launcher/startup_cache.h"
#include "launcher/update_check.h"
#include "launcher/update_switch.h"
#include "platform/environment.h"
#include "platform/exception.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"

namespace {

constexpr const char* kInvokeOther = "__qmk_invoke_other";
constexpr const char* kJreBundleOption = "-Dqmk.jreBundle=%@";
constexpr const char* kInternalError = "vexel.InternalError";

// A NUL ends its line's text, the runtime line's too: the runtime and its library take C
// strings, so nothing after it could count.
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  for (;;) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    lines.emplace_back(line.substr(0, line.find('\0')));
    if (end == std::string_view::npos) return lines;
    text.remove_prefix(end + 1);
  }
}

bool isInvokeOther(int count, char** vector) {
  return count >= 3 && std::strcmp(vector[1], kInvokeOther) == 0;
}

int runLaunch(int count, char** vector, const LaunchContext& context,
              std::optional<qmk::update::SwitchedStart>& switched) {
  const char* programPath = vector[0];
  Launcher launcher(context);
  if (isInvokeOther(count, vector)) {
    launcher.load(programPath, vector[2]);
  } else {
    // A staged update takes the bundle's place before anything of the bundle is read for the
    // launch; a switch re-executes and does not come back here.
    qmk::update::switchToStagedUpdate(context, switched);
    // A single-instance start may end here, handed to the running instance.
    if (auto status = qmk::services::prepareStart(*context.mainBundle, count, vector)) {
      return *status;
    }
    launcher.load(programPath);
    if (!launcher.javaBundlePath) {
      qmk::update::switchBackAfterFailure(context, switched, "no runtime fits");
    } else if (switched) {
      qmk::update::completeSwitch(context, *switched);
    }
    qmk::services::serveInstance();
  }
  return launcher.launch();
}

qmk::cache::CacheDecision decideCache(const Launcher& launcher,
                                      const std::vector<std::string>& options,
                                      const std::vector<std::string>& vector) {
  qmk::cache::CacheInputs inputs;
  inputs.info = &launcher.info();
  inputs.bundlePath = launcher.bundlePath();
  inputs.runtimeHome = Launcher::runtimeHome(*launcher.javaBundlePath);
  inputs.javaMajorVersion = launcher.javaMajorVersion;
  inputs.vmOptions = options;
  inputs.launchVector = vector;
  inputs.homeDirectory = launcher.context().homeDirectory;
  inputs.xdgCacheHome = platform::environmentValue("XDG_CACHE_HOME");
  inputs.javaToolOptions = platform::environmentValue("JAVA_TOOL_OPTIONS");
  inputs.prepare = !launcher.context().explainOnly;
  return qmk::cache::decideStartupCache(inputs);
}

// A failure before the hand-over; the first start of a switched-to version switches back
// instead of reporting it.
void reportFailure(const LaunchContext& context, const std::string& description,
                   const std::optional<qmk::update::SwitchedStart>& switched) {
  qmk::update::switchBackAfterFailure(context, switched, description);
  Launcher::displayError(context, kInternalError, description);
}

}  // namespace

LaunchContext LaunchContext::fromProcess(int count, char** vector) {
  LaunchContext context;
  context.mainBundle = platform::Bundle::main();
  if (!context.mainBundle) context.mainBundle = platform::Bundle::create(".");
  for (int i = 0; i < count; i++) context.arguments.emplace_back(vector[i] ? vector[i] : "");
  context.homeDirectory = platform::homeDirectory();
  return context;
}

platform::UserDefaults LaunchContext::standardUserDefaults() const {
  return platform::UserDefaults(platform::joinPath(homeDirectory, layout.preferencesDirectory),
                                mainBundle->identifier().value_or(""));
}

Launcher::Launcher(LaunchContext context) : context_(std::move(context)) {}

std::unique_ptr<Launcher> Launcher::launcher() {
  std::vector<std::string> args = platform::processArguments();
  std::vector<char*> pointers;
  pointers.reserve(args.size() + 1);
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return std::make_unique<Launcher>(
      LaunchContext::fromProcess(static_cast<int>(args.size()), pointers.data()));
}

extern "C" int launcher_main(int count, char** vector) {
  DLOG("%s [Line %d] launcher_main %d", count);
  // A second entry: the runtime library called main again with the vector it was handed.
  if (JLI_LaunchFxnPtr != nullptr) return callJliLaunch(count, vector);
  // The runtime library re-executed this program to run itself with a changed environment.
  if (auto resumed = resumeAfterReexec(count, vector)) return *resumed;

  // Written here, not in a helper: the line is signed by the entry itself.
  if (isInvokeOther(count, vector)) DLOG("%s [Line %d] invoke other %s", vector[2]);
  LaunchContext context = LaunchContext::fromProcess(count, vector);
  // Read and removed before anything else: the application must not see it.
  std::optional<qmk::update::SwitchedStart> switched = qmk::update::takeSwitchMarker();
  try {
    return runLaunch(count, vector, context, switched);
  } catch (const platform::Exception& e) {
    ALOG("%s [Line %d] %@: %@", e, e.callStack());
    reportFailure(context, e.description(), switched);
  } catch (const std::exception& e) {
    ALOG("%s [Line %d] %@: %@", e.what(), std::vector<std::string>{});
    reportFailure(context, e.what(), switched);
  } catch (...) {
    ALOG("%s [Line %d] %@: %@", "unknown exception", std::vector<std::string>{});
    reportFailure(context, "unknown exception", switched);
  }
  return 1;
}

Launcher& Launcher::load(const char* programPath) {
  qmk::checkApplicationInfo(*context_.mainBundle);
  // Checking for updates must never stand in the start's way: it runs detached.
  if (!context_.explainOnly) qmk::update::startUpdateCheckIfDue(*context_.mainBundle);
  findJavaBundle(false);
  if (!javaBundlePath) return *this;

  std::vector<std::string> options;
  OptionalString mainClass;
  std::vector<std::string> args;
  bool firstThread = false;
  {
    platform::FileManager fileManager;
    readJavaParameters(fileManager, options, mainClass, args, &firstThread);
  }
  for (auto& option : qmk::services::serviceOptions(qmk::services::readServiceKeys(info()),
                                                    javaMajorVersion)) {
    options.push_back(std::move(option));
  }
  if (!mainClass) {
    throw platform::Exception(
        "LaunchConfigurationError",
        "The application's Info.plist names no \"MainClass\" in its JavaVM dictionary.");
  }
  // Most applications do not ask for the startup cache: their options are not needed again and
  // move into the vector rather than being copied (a long class path among them), and the
  // decision is made without copying the vector for the cache's inputs.
  const bool cacheRequested = qmk::cache::startupCacheRequested(info());
  std::vector<std::string> vector =
      buildLaunchVector(programPath, cacheRequested ? options : std::move(options), *javaBundlePath,
                        *mainClass, args);
  qmk::cache::CacheDecision cache = cacheRequested
                                        ? decideCache(*this, options, vector)
                                        : qmk::cache::decideStartupCache({.info = &info()});
  DLOG("%s [Line %d] startup cache %@", cache.reason);
  startupCacheReason = cache.reason;
  if (!cache.options.empty()) {
    options.insert(options.end(), cache.options.begin(), cache.options.end());
    vector = buildLaunchVector(programPath, options, *javaBundlePath, *mainClass, args);
  }
  installLaunchVector(vector);
  if (!context_.explainOnly) qmk::services::recordLaunch(*context_.mainBundle);
  if (cache.build) qmk::cache::startCacheBuild(*cache.build);
  return *this;
}

Launcher& Launcher::load(const char* programPath, const char* argumentFile) {
  platform::FileManager fileManager;
  OptionalString text = fileManager.readUtf8File(argumentFile);
  // The file is consumed whatever it held; only a regular file or a link of that name goes.
  fileManager.removeFile(argumentFile);

  std::vector<std::string> lines = text ? splitLines(*text) : std::vector<std::string>{};
  DLOG("%s [Line %d] invoke other arguments %@", lines);
  if (lines.size() < 2) return *this;

  javaBundlePath = lines[0];
  javaBundle = platform::Bundle::create(lines[0]);
  launchJavaVersion = checkJavaVersion(std::nullopt, std::nullopt, true, false, std::nullopt);
  DLOG("%s [Line %d] java bundle %s %p", launchJavaVersion, javaBundle.get());

  std::vector<std::string> vector;
  vector.reserve(lines.size());
  vector.emplace_back(programPath);
  vector.insert(vector.end(), lines.begin() + 1, lines.end());
  installLaunchVector(vector);
  return *this;
}

std::vector<std::string> Launcher::buildLaunchVector(const std::string& programPath,
                                                     std::vector<std::string> options,
                                                     const std::string& javaBundlePath,
                                                     const std::string& mainClass,
                                                     const std::vector<std::string>& args) {
  std::vector<std::string> vector;
  vector.reserve(options.size() + args.size() + 3);
  vector.push_back(programPath);
  vector.insert(vector.end(), std::make_move_iterator(options.begin()),
                std::make_move_iterator(options.end()));
  vector.push_back(platform::format(kJreBundleOption, javaBundlePath));
  vector.push_back(mainClass);
  vector.insert(vector.end(), args.begin(), args.end());
  return vector;
}

void Launcher::installLaunchVector(const std::vector<std::string>& vector) {
  // The vector lives until the process ends: the runtime library keeps pointers into it.
  char** entries = new char*[vector.size() + 1];
  for (size_t i = 0; i < vector.size(); i++) entries[i] = strdup(vector[i].c_str());
  entries[vector.size()] = nullptr;
  argc = static_cast<int>(vector.size());
  argv = entries;
}

void resetLaunchStateForTesting() {
  JLI_LaunchFxnPtr = nullptr;
  // A start keeps its version text for good; a test's reset ends the start.
  std::free(launchJavaVersion);
  launchJavaVersion = nullptr;
  argc = 0;
  argv = nullptr;
}
