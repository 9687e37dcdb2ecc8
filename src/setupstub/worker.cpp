// The worker: obtains a runtime by the first road that works (the archive shipped in the bundle,
// a runtime on the machine, a download), runs the installer in it with this process's standard
// input, and ends the process with the installer's status.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "launcher/global.h"
#include "platform/exception.h"
#include "platform/process.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"
#include "setupstub/AppDelegate.h"

namespace {

constexpr const char* kShippedArchive = "app/jre.tar.gz";
constexpr const char* kDownloadedArchive = "jre.tar.gz";
constexpr const char* kJreLocationKey = "qmk.jreLocation";
constexpr auto kWindowLingers = std::chrono::microseconds(5000000);

// Copies this process's standard input into the installer's until the input ends (then the
// installer's input is closed) or the installer stops reading.
void forwardStandardInput(platform::UniqueFd pipe) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // EPIPE: the installer closed its input, or ended.
    if (!platform::writeAll(pipe.get(), buffer, static_cast<size_t>(n))) break;
  }
}

// A plain runtime directory (a registry's ".quillmark/jre", a Linux runtime home) has no
// Contents/Home: it is its own runtime home.
std::string runtimeHome(const std::string& runtime, platform::FileManager& fileManager) {
  if (!fileManager.fileExists(platform::joinPath(runtime, "Contents/Home")) &&
      fileManager.fileExists(platform::joinPath(runtime, "bin/java"))) {
    return runtime;
  }
  return AppDelegate::getJreLocation(runtime, fileManager);
}

}  // namespace

// A runtime in hand: its bundle (or plain runtime directory) and, when one was extracted, the
// archive it came from.
struct AppDelegate::Road {
  std::string runtimeBundle;
  std::optional<std::string> archive;
};

void AppDelegate::worker() {
  platform::FileManager fileManager;
  tempDir.reset();
  cancelled = false;
  DLOG("%s [Line %d] worker started");

  int status = 1;
  try {
    status = obtainRuntimeAndRunInstaller(fileManager);
  } catch (const RunEnded& ended) {
    status = ended.status;
  } catch (const std::exception& failure) {
    reportFailure(failure);
    status = 1;
  } catch (...) {
    // A callee outside our own error types (a platform or user callback) must not end the
    // thread before the temporary directory is gone and the user has been told.
    reportFailure(std::runtime_error("an unexpected failure ended the installation"));
    status = 1;
  }
  removeTemporaryDirectory(fileManager);
  exit(status);
}

void AppDelegate::reportFailure(const std::exception& failure) {
  const auto* exception = dynamic_cast<const platform::Exception*>(&failure);
  if (exception && exception->name() == kCancelled) {
    DLOG("%s [Line %d] Cancelled");
    return;
  }
  const std::string description = exception ? exception->description() : failure.what();
  Launcher::displayError(context_, "vexel.InternalError", description);
  if (exception) {
    DLOG("%s [Line %d] %@: %@", *exception, exception->callStack());
  } else {
    DLOG("%s [Line %d] %@: %@", description, std::vector<std::string>{});
  }
}

int AppDelegate::obtainRuntimeAndRunInstaller(platform::FileManager& fileManager) {
  Launcher launcher(context_);
  const std::string shippedArchive =
      platform::joinPath(context_.mainBundle->resourcePath(), kShippedArchive);

  std::optional<Road> road;
  if (fileManager.fileExists(shippedArchive)) {
    // A shipped archive always wins over a runtime on the machine.
    road = Road{handleTar(shippedArchive, fileManager), shippedArchive};
  } else {
    DLOG("%s [Line %d] searching for public JREs");
    OptionalString found = launcher.findJavaBundle(false);
    if (!found) {
      DLOG("%s [Line %d] searching for other JREs");
      found = launcher.findJavaBundle(true);
    }
    road = found ? std::optional<Road>(Road{*found, std::nullopt})
                 : downloadRuntime(fileManager, launcher);
  }
  if (!road) {
    Launcher::displayError(context_, "AppleJavaMinVersionError",
                           Launcher::getJavaMinVersion(context_), appName());
    throw RunEnded{1};
  }

  mainQueue_.post([this] {
    window_.setIndeterminate(true);
    window_.startAnimation();
    window_.setCancelEnabled(false);
  });
  std::vector<std::string> arguments = childArguments(launcher, fileManager, *road);
  return runInstaller(*road, arguments, launcher.processSettings(), fileManager);
}

std::optional<AppDelegate::Road> AppDelegate::downloadRuntime(platform::FileManager& fileManager,
                                                              Launcher&) {
  const std::optional<std::string> location =
      context_.mainBundle->infoValue(kJreLocationKey).stringValue();
  const std::string address = unicode::trimWhitespaceAndNewlines(location.value_or(""));
  if (address.empty()) return std::nullopt;

  const std::optional<std::string> name = appName();
  downloadConditionLock = std::make_unique<ConditionLock>(0);
  expectedLength = -1;
  bytesReceived = 0;
  const std::string archive =
      platform::joinPath(ensureTemporaryDirectory(fileManager), kDownloadedArchive);
  mainQueue_.post([this, name, address, archive] { startDownload(name, address, archive); });

  DLOG("%s [Line %d] waiting for download to finish");
  downloadConditionLock->lockWhenCondition(1);
  downloadConditionLock->unlockWithCondition(0);
  DLOG("%s [Line %d] download returned");

  if (cancelled) throw platform::Exception(kCancelled, "");
  if (!fileManager.fileExists(archive)) {
    Launcher::displayError(context_, "DownloadJreError");
    throw RunEnded{1};
  }
  const std::string preparing = localizedText("PrepareInstaller", {name.value_or("(null)")});
  mainQueue_.post([this, preparing] {
    window_.setProgress(0);
    window_.setStatus(preparing);
  });
  return Road{handleTar(archive, fileManager), archive};
}

std::vector<std::string> AppDelegate::childArguments(Launcher& launcher,
                                                     platform::FileManager& fileManager,
                                                     const Road& road) {
  std::vector<std::string> options;
  OptionalString mainClass;
  std::vector<std::string> args;
  launcher.readJavaParameters(fileManager, options, mainClass, args, nullptr);

  std::vector<std::string> arguments = options;
  arguments.push_back(platform::format("-Dqmk.jreBundle=%@", road.runtimeBundle));
  if (tempDir && road.archive) {
    arguments.push_back(platform::format("-Dqmk.tarFile=%@", *road.archive));
  }
  // Without a main class the options must name what runs (for example "-jar").
  if (mainClass) arguments.push_back(*mainClass);
  arguments.insert(arguments.end(), args.begin(), args.end());
  DLOG("%s [Line %d] args: %@", arguments);
  return arguments;
}

int AppDelegate::runInstaller(const Road& road, const std::vector<std::string>& arguments,
                              const ProcessSettings& settings, platform::FileManager& fileManager) {
  platform::Process::Options options;
  options.path = platform::joinPath(runtimeHome(road.runtimeBundle, fileManager), "bin/java");
  options.arguments = arguments;
  options.pipeStandardInput = true;
  // Given to the installer rather than applied here, where the window thread is running.
  options.workingDirectory = settings.workingDirectory;
  if (settings.lang) options.environmentOverrides["LANG"] = *settings.lang;
  platform::Process installer = platform::Process::launch(options);

  platform::UniqueFd pipe(::fcntl(installer.standardInput(), F_DUPFD_CLOEXEC, 0));
  installer.closeStandardInput();
  if (pipe) std::thread(forwardStandardInput, std::move(pipe)).detach();

  std::this_thread::sleep_for(kWindowLingers);
  mainQueue_.post([this] { window_.close(); });
  const std::optional<std::string> directory = std::move(tempDir);
  tempDir.reset();
  const int status = installer.waitUntilExit();
  if (directory) fileManager.removeItem(*directory);
  return status;
}
