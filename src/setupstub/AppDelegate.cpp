#include "setupstub/AppDelegate.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "launcher/Unpacker.h"
#include "launcher/global.h"
#include "platform/exception.h"
#include "launcher/UnTar.h"

namespace {

constexpr const char* kInitialProgressKey = "qmk.initialProgress";
constexpr const char* kUncompressedSizeKey = "qmk.jreUncompressedSize";
constexpr int32_t kDefaultUncompressedSize = 6000000;
constexpr const char* kBundleDirectoryName = "jre.bundle";

}  // namespace

AppDelegate::AppDelegate(LaunchContext context, ProgressWindow& window, MainQueue& mainQueue,
                         Services services)
    : context_(std::move(context)),
      window_(window),
      mainQueue_(mainQueue),
      services_(std::move(services)) {
  context_.applyProcessSettings = false;
}

AppDelegate::AppDelegate(LaunchContext context, ProgressWindow& window, MainQueue& mainQueue)
    : AppDelegate(std::move(context), window, mainQueue, Services{}) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationWillFinishLaunching() {
  DLOG("%s [Line %d] app will finish launching");
  const plist::Value& initialProgress = context_.mainBundle->infoValue(kInitialProgressKey);
  if (!initialProgress.isNull() && !initialProgress.boolValue()) {
    DLOG("%s [Line %d] hiding progress window");
    window_.close();
    return;
  }
  bool quiet = false;
  bool splash = false;
  for (size_t i = 1; i < context_.arguments.size(); i++) {
    const std::string& argument = context_.arguments[i];
    if (argument == "-c" || argument == "-q") quiet = true;
    if (argument == "-splash") splash = true;
  }
  if (quiet && !splash) {
    DLOG("%s [Line %d] hiding progress window");
    window_.close();
  }
}

void AppDelegate::applicationDidFinishLaunching() {
  DLOG("%s [Line %d] app finished launching");
  const std::optional<std::string> name = appName();
  window_.setTitle(localizedText("WizardCaption"));
  window_.setStatus(localizedText("PrepareInstaller", {name.value_or("(null)")}));
  window_.setCancelTitle(localizedText("ButtonCancel"));
  window_.setIcon(context_.mainBundle->pathForResource("app", "icns"));
  window_.activate();
  services_.startWorker(*this);
}

void AppDelegate::cancel() {
  cancelled = true;
  window_.setCancelEnabled(false);
  if (downloader) {
    downloader->cancel();
    downloadConditionLock->unlockWithCondition(1);
  }
}

std::optional<std::string> AppDelegate::createTemporaryDirectory(platform::FileManager&) {
  return platform::createUniqueDirectory("setupstub-");
}

std::string AppDelegate::getJreLocation(const std::string& bundle,
                                        platform::FileManager& fileManager) {
  const std::string home = platform::joinPath(bundle, "Contents/Home");
  const std::string jre = platform::joinPath(home, "jre");
  return fileManager.fileExists(jre) ? jre : home;
}

std::string AppDelegate::handleTar(const std::string& archive, platform::FileManager& fileManager) {
  const std::string bundle =
      platform::joinPath(ensureTemporaryDirectory(fileManager), kBundleDirectoryName);
  const plist::Value& sizeValue = context_.mainBundle->infoValue(kUncompressedSizeKey);
  int32_t uncompressedLength = sizeValue.isNull() ? kDefaultUncompressedSize : sizeValue.intValue();
  // A size of zero or less would make every percentage meaningless.
  if (uncompressedLength <= 0) uncompressedLength = kDefaultUncompressedSize;
  fileManager.createDirectory(bundle, false);

  UnTar::Result result = UnTar::untar(archive, bundle, uncompressedLength,
                                      [this](const std::optional<std::string>&, double percent) {
                                        if (cancelled) throw platform::Exception(kCancelled, "");
                                        showProgress(percent * 0.7);
                                      });
  if (!result.complete) {
    throw platform::Exception("DamagedRuntimeArchive", "The runtime archive " + archive +
                                                           " is damaged: " + result.failure + ".");
  }
  DLOG("%s [Line %d] jre destination %@", bundle);

  const std::string home = getJreLocation(bundle, fileManager);
  const std::string jre = platform::joinPath(home, "jre");
  const std::string expansionDirectory = fileManager.fileExists(jre) ? jre : home;
  if (cancelled) throw platform::Exception(kCancelled, "");
  bool expansionReported = false;
  bool expanded = Unpacker::unpack(
      expansionDirectory,
      [this, &expansionReported](const std::optional<std::string>&, double percent) {
        if (cancelled) throw platform::Exception(kCancelled, "");
        expansionReported = true;
        showProgress(70 + percent * 0.3);
      });
  if (expanded) {
    // Nothing to expand reports no progress; the runtime is ready all the same.
    if (!expansionReported) showProgress(100);
    return bundle;
  }
  Launcher::displayError(context_, "vexel.InternalError", std::string("could not run unpack200"));
  throw RunEnded{1};
}

std::string AppDelegate::ensureTemporaryDirectory(platform::FileManager& fileManager) {
  if (!tempDir) tempDir = createTemporaryDirectory(fileManager);
  if (!tempDir) {
    throw platform::Exception(
        "TemporaryDirectoryError",
        "A temporary directory could not be created in " + platform::temporaryDirectory() + ".");
  }
  return *tempDir;
}

void AppDelegate::removeTemporaryDirectory(platform::FileManager& fileManager) {
  if (tempDir) fileManager.removeItem(*tempDir);
  tempDir.reset();
}

void AppDelegate::showProgress(double value) {
  mainQueue_.post([this, value] { window_.setProgress(value); });
}

std::string AppDelegate::localizedText(const std::string& key,
                                       const std::vector<std::string>& inserts) const {
  std::string text = context_.mainBundle->localizedString(key, "", "");
  return inserts.empty() ? text : Launcher::fillMessage(text, inserts);
}

std::optional<std::string> AppDelegate::appName() const {
  return context_.mainBundle->infoValue("CFBundleName").stringValue();
}

void AppDelegate::exit(int status) {
  services_.exit(status);
  exitProcess(status);  // an exit function that returned has not ended the process
}

void AppDelegate::exitProcess(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(status);
}

void AppDelegate::startWorkerThread(AppDelegate& delegate) {
  std::thread([&delegate] { delegate.worker(); }).detach();
}

int64_t AppDelegate::wallClockMicroseconds() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}
