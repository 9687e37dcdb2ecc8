// The installer's application shell: fills the progress window, starts the worker that obtains
// a runtime and runs the installer in it, reacts to Cancel, and receives the runtime download.
//
// Threads: the main thread runs the event loop, the window, the download callbacks and Cancel;
// the worker thread changes the window only by posting tasks to the main queue. They share
// `cancelled` (atomic), and `tempDir`, `expectedLength`, `bytesReceived` in a fixed hand-over
// order (the worker sets them before it posts the download and waits on the condition lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launcher/Launcher.h"
#include "platform/download.h"
#include "platform/file_manager.h"
#include "setupstub/condition_lock.h"
#include "setupstub/main_queue.h"
#include "setupstub/progress_window.h"

class AppDelegate : public platform::DownloadDelegate {
 public:
  // Ends the process with a status; must not return.
  using ExitFunction = std::function<void(int status)>;
  // Microseconds since the epoch.
  using Clock = std::function<int64_t()>;

  // The name of the exception that carries a Cancel press through the worker.
  static constexpr const char* kCancelled = "QuillmarkCancelled";
  // Ends a run whose notice was already shown: the worker exits with `status`.
  struct RunEnded {
    int status;
  };

  struct Services {
    ExitFunction exit = exitProcess;
    Clock now = wallClockMicroseconds;
    // Runs the worker; by default on a new detached thread.
    std::function<void(AppDelegate&)> startWorker = startWorkerThread;
  };

  // `context` must not apply the launch parameters' working directory and LANG to this process
  // (applyProcessSettings false): the installer child receives them instead.
  AppDelegate(LaunchContext context, ProgressWindow& window, MainQueue& mainQueue,
              Services services);
  AppDelegate(LaunchContext context, ProgressWindow& window, MainQueue& mainQueue);
  ~AppDelegate() override;

  // --- Application shell ----------------------------------------------------------------------
  // Closes the window at start for "qmk.initialProgress" false, or "-c"/"-q" without "-splash".
  void applicationWillFinishLaunching();
  // Fills in the window and starts the worker on a detached thread.
  void applicationDidFinishLaunching();
  // The Cancel button's action (main thread).
  void cancel();
  // A new directory with a unique name in the user's temporary directory, mode 0700.
  static std::optional<std::string> createTemporaryDirectory(platform::FileManager& fileManager);
  // Contents/Home/jre of a runtime bundle when it exists, else Contents/Home.
  static std::string getJreLocation(const std::string& bundle, platform::FileManager& fileManager);

  // --- Worker ---------------------------------------------------------------------------------
  // Obtains a runtime, runs the installer in it and ends the process with its status.
  [[noreturn]] void worker();

  // --- Runtime archive ------------------------------------------------------------------------
  // Extracts `archive` into "jre.bundle" in the temporary directory and expands its packed
  // archives; returns the bundle's path. A damaged archive raises; a failed expansion shows its
  // notice and ends the run.
  std::string handleTar(const std::string& archive, platform::FileManager& fileManager);

  // --- Runtime download (main thread) ---------------------------------------------------------
  // The download-start task: takes the condition lock and starts the transfer.
  void startDownload(const std::optional<std::string>& appName, const std::string& address,
                     const std::string& destination);
  void downloadDidReceiveResponse(platform::Download& download,
                                  const platform::URLResponse& response) override;
  void downloadDidReceiveData(platform::Download& download, uint64_t length) override;
  void downloadDidFinish(platform::Download& download) override;
  void downloadDidFail(platform::Download& download, const platform::DownloadError& error) override;
  // The four inserts of "DownloadProgress": received MiB, total MiB, whole percent, KiB/s.
  static std::vector<std::string> downloadProgressInserts(int64_t bytesReceived,
                                                          int64_t expectedLength, double percent,
                                                          int64_t elapsedMicroseconds);

  // --- State shared with the worker (see the hand-over order above) ---------------------------
  std::atomic<bool> cancelled{false};
  std::optional<std::string> tempDir;
  std::unique_ptr<platform::Download> downloader;
  std::unique_ptr<ConditionLock> downloadConditionLock;
  int64_t expectedLength = 0;
  int64_t bytesReceived = 0;
  int64_t downloadStartTime = 0;
  int64_t lastProgressUpdate = 0;

  ProgressWindow& window() { return window_; }
  const LaunchContext& context() const { return context_; }

  // Flushes the standard streams and ends the process at once: no static destructor runs while
  // another thread (the event loop) may still use what they destroy.
  [[noreturn]] static void exitProcess(int status);
  static int64_t wallClockMicroseconds();
  static void startWorkerThread(AppDelegate& delegate);

 private:
  struct Road;
  int obtainRuntimeAndRunInstaller(platform::FileManager& fileManager);
  std::optional<Road> downloadRuntime(platform::FileManager& fileManager, Launcher& launcher);
  std::vector<std::string> childArguments(Launcher& launcher, platform::FileManager& fileManager,
                                          const Road& road);
  int runInstaller(const Road& road, const std::vector<std::string>& arguments,
                   const ProcessSettings& settings, platform::FileManager& fileManager);
  void reportFailure(const std::exception& failure);
  std::string ensureTemporaryDirectory(platform::FileManager& fileManager);
  void removeTemporaryDirectory(platform::FileManager& fileManager);
  void showProgress(double value);

  // The localized text of `key` in the bundle's default string table, "%@" filled in order.
  std::string localizedText(const std::string& key,
                            const std::vector<std::string>& inserts = {}) const;
  std::optional<std::string> appName() const;
  [[noreturn]] void exit(int status);

  LaunchContext context_;
  ProgressWindow& window_;
  MainQueue& mainQueue_;
  Services services_;
};
