#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <thread>

#include "platform/exception.h"
#include "setupstub/AppDelegate.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::dict;
using testing_support::exists;
using testing_support::Notice;
using testing_support::ScopedEnv;
using testing_support::str;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

class FakeWindow : public ProgressWindow {
 public:
  void setTitle(const std::string& t) override { title = t; }
  void setIcon(const std::optional<std::string>& p) override { icon = p; }
  void setStatus(const std::string& t) override { status = t; }
  void setProgressText(const std::string& t) override { progressTexts.push_back(t); }
  void setProgress(double v) override { progress.push_back(v); }
  void setIndeterminate(bool i) override { indeterminate = i; }
  void startAnimation() override { animating = true; }
  void setCancelTitle(const std::string& t) override { cancelTitle = t; }
  void setCancelEnabled(bool e) override { enabled = e; }
  bool cancelEnabled() const override { return enabled; }
  void close() override { closed = true; }
  bool isClosed() const override { return closed; }
  void activate() override { activated = !closed; }

  std::string title, status, cancelTitle;
  std::optional<std::string> icon;
  std::vector<std::string> progressTexts;
  std::vector<double> progress;
  bool indeterminate = false, animating = false, enabled = true, closed = false, activated = false;
};

class ManualQueue : public MainQueue {
 public:
  void post(Task task) override {
    if (failure) failure();
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  void runAll() {
    for (;;) {
      Task task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }
  // Runs at every post; may throw to stand for a queue that fails.
  std::function<void()> failure;

 private:
  std::mutex mutex_;
  std::deque<Task> tasks_;
};

// A download that is never started: what the callbacks are handed.
std::unique_ptr<platform::Download> idleDownload(platform::DownloadDelegate& delegate) {
  return platform::Download::create({.url = "http://127.0.0.1:9/"}, delegate,
                                    [](std::function<void()>) {});
}

struct ExitCalled {
  int status;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv tmp{"TMPDIR", dir / "tmp"};
  FakeWindow window;
  ManualQueue queue;
  std::vector<Notice> notices;
  int64_t clock = 0;
  bool workerStarted = false;

  AppDelegateTest() { fs::create_directories(dir / "tmp"); }

  std::unique_ptr<AppDelegate> makeDelegate(plist::Dictionary info,
                                            std::vector<std::string> arguments = {"setupstub"}) {
    info.emplace("CFBundleName", str("Demo"));
    std::string bundle =
        testing_support::makeAppBundle(dir.path(), "Demo.app", plist::Value::dictionary(info));
    writeFile(bundle + "/Contents/Resources/en.lproj/Localizable.strings",
              "\"WizardCaption\" = \"Demo Setup\";\n"
              "\"PrepareInstaller\" = \"Preparing %@ (100%%)\";\n"
              "\"DownloadProgress\" = \"%@ of %@ MiB (%@%%) at %@ KiB/s\";\n"
              "\"vexel.InternalError\" = \"Internal error: %@\";\n");
    LaunchContext context = testing_support::makeContext(
        bundle, platform::SystemLayout::host(), std::move(arguments), dir / "home", &notices);
    AppDelegate::Services services;
    services.exit = [](int status) { throw ExitCalled{status}; };
    services.now = [this] { return clock; };
    services.startWorker = [this](AppDelegate&) { workerStarted = true; };
    return std::make_unique<AppDelegate>(std::move(context), window, queue, services);
  }
};

struct LaunchCase {
  std::optional<plist::Value> initialProgress;
  std::vector<std::string> arguments;
  bool hidden;
};

TEST_F(AppDelegateTest, WindowHiddenByInitialProgressOrQuietWithoutSplash) {
  const LaunchCase cases[] = {
      {plist::Value::boolean(false), {"setupstub", "-splash"}, true},
      {str("NO"), {"setupstub"}, true},
      {plist::Value::boolean(true), {"setupstub", "-q"}, true},
      {std::nullopt, {"setupstub", "-c"}, true},
      {std::nullopt, {"setupstub", "-q", "-splash"}, false},
      {std::nullopt, {"setupstub", "-splash", "-c"}, false},
      {std::nullopt, {"-c"}, false},  // the program path is not looked at
      {std::nullopt, {"setupstub", "-Q", "-quiet", "q"}, false},
      {plist::Value::boolean(true), {"setupstub"}, false},
  };
  for (const auto& c : cases) {
    window = FakeWindow();
    plist::Dictionary info;
    if (c.initialProgress) info["qmk.initialProgress"] = *c.initialProgress;
    makeDelegate(info, c.arguments)->applicationWillFinishLaunching();
    EXPECT_EQ(window.closed, c.hidden) << testing::PrintToString(c.arguments);
  }
}

TEST_F(AppDelegateTest, FinishLaunchingFillsTheWindowAndStartsTheWorker) {
  auto delegate = makeDelegate({});
  const std::string icon = dir / "Demo.app/Contents/Resources/app.icns";
  writeFile(icon, "icns");
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(window.title, "Demo Setup");
  EXPECT_EQ(window.status, "Preparing Demo (100%)");
  EXPECT_EQ(window.cancelTitle, "ButtonCancel");  // a missing text shows its key
  EXPECT_EQ(window.icon, icon);
  EXPECT_TRUE(window.activated);
  EXPECT_TRUE(workerStarted);

  fs::remove(icon);
  window = FakeWindow();
  delegate->applicationDidFinishLaunching();
  EXPECT_FALSE(window.icon);
}

TEST_F(AppDelegateTest, CancelWakesTheWorkerWaitingForADownload) {
  auto delegate = makeDelegate({});
  delegate->cancel();
  EXPECT_TRUE(delegate->cancelled);
  EXPECT_FALSE(window.enabled);

  // The main thread holds the lock while the download runs; Cancel hands it over.
  delegate->downloadConditionLock = std::make_unique<ConditionLock>(0);
  delegate->downloadConditionLock->lockWhenCondition(0);
  delegate->downloader = idleDownload(*delegate);
  bool woke = false;
  std::thread waiter([&] {
    delegate->downloadConditionLock->lockWhenCondition(1);
    delegate->downloadConditionLock->unlockWithCondition(0);
    woke = true;
  });
  delegate->cancel();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST_F(AppDelegateTest, TemporaryDirectoriesAreUniqueAndPrivate) {
  platform::FileManager files;
  auto a = AppDelegate::createTemporaryDirectory(files);
  auto b = AppDelegate::createTemporaryDirectory(files);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(a->rfind(dir / "tmp/", 0), 0u);
  struct stat st;
  ASSERT_EQ(::stat(a->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ScopedEnv nowhere("TMPDIR", dir / "missing");
  EXPECT_FALSE(AppDelegate::createTemporaryDirectory(files));
}

TEST_F(AppDelegateTest, JreLocationPrefersHomeJre) {
  platform::FileManager files;
  EXPECT_EQ(AppDelegate::getJreLocation(dir / "none", files), dir / "none/Contents/Home");
  fs::create_directories(dir / "b/Contents/Home/jre");
  EXPECT_EQ(AppDelegate::getJreLocation(dir / "b", files), dir / "b/Contents/Home/jre");
}

// --- handleTar -------------------------------------------------------------------------------

class HandleTarTest : public AppDelegateTest {
 protected:
  // A runtime bundle archive: `payload` bytes in one file, and packed files with a test
  // bin/unpack200 that succeeds or fails.
  std::string makeArchive(size_t payload, int packed, bool unpackSucceeds = true) {
    const std::string home = dir / "src/Contents/Home";
    writeFile(home + "/lib/payload", std::string(payload, 'p'));
    for (int i = 0; i < packed; i++)
      writeFile(home + "/lib/p" + std::to_string(i) + ".jar.pack", "x");
    writeFile(home + "/bin/unpack200",
              unpackSucceeds ? "#!/bin/sh\nmv \"$2\" \"$3\"\n" : "#!/bin/sh\nexit 1\n", 0755);
    const std::string archive = dir / "jre.tar.gz";
    auto r = testing_support::run({"/usr/bin/tar", "-czf", archive, "-C", dir / "src", "."});
    EXPECT_EQ(r.status, 0) << r.err;
    return archive;
  }
};

TEST_F(HandleTarTest, ProgressRunsToSeventyThenExpansionToAHundred) {
  auto delegate = makeDelegate({});
  const std::string archive = makeArchive(3000000, 2);
  platform::FileManager files;
  std::string bundle = delegate->handleTar(archive, files);
  queue.runAll();

  ASSERT_TRUE(delegate->tempDir);
  EXPECT_EQ(bundle, *delegate->tempDir + "/jre.bundle");
  EXPECT_TRUE(exists(bundle + "/Contents/Home/lib/p0.jar"));
  EXPECT_FALSE(exists(bundle + "/Contents/Home/lib/p0.jar.pack"));
  ASSERT_GE(window.progress.size(), 4u);
  // Extraction against the default 6 000 000 bytes: 3 000 000 of them come to about half.
  double extractionMax = 0;
  for (double v : window.progress) {
    if (v < 70) extractionMax = std::max(extractionMax, v);
  }
  EXPECT_NEAR(extractionMax, 70 * 0.5, 1);
  const size_t n = window.progress.size();
  EXPECT_DOUBLE_EQ(window.progress[n - 3], 70);  // extraction's final 100 %
  EXPECT_DOUBLE_EQ(window.progress[n - 2], 85);
  EXPECT_DOUBLE_EQ(window.progress[n - 1], 100);
}

TEST_F(HandleTarTest, StatedUncompressedSizeScalesTheProgress) {
  auto delegate = makeDelegate({{"qmk.jreUncompressedSize", plist::Value::integer(12000000)}});
  delegate->handleTar(makeArchive(3000000, 0), *std::make_unique<platform::FileManager>());
  queue.runAll();
  double extractionMax = 0;
  for (size_t i = 0; i + 1 < window.progress.size(); i++) {
    if (window.progress[i] < 70) extractionMax = std::max(extractionMax, window.progress[i]);
  }
  EXPECT_NEAR(extractionMax, 70 * 0.25, 1);
  // Nothing to expand: the bar still ends full once the runtime is ready.
  EXPECT_DOUBLE_EQ(window.progress.back(), 100);
}

// An archive larger than its stated length: the extraction keeps to its share of the bar.
TEST_F(HandleTarTest, ArchiveLargerThanStatedStaysWithinTheExtractionShare) {
  auto delegate = makeDelegate({{"qmk.jreUncompressedSize", plist::Value::integer(1000000)}});
  delegate->handleTar(makeArchive(3000000, 0), *std::make_unique<platform::FileManager>());
  queue.runAll();
  ASSERT_GE(window.progress.size(), 2u);
  for (size_t i = 0; i + 1 < window.progress.size(); i++) EXPECT_LE(window.progress[i], 70);
  EXPECT_DOUBLE_EQ(window.progress.back(), 100);
}

TEST_F(HandleTarTest, CancelDamageAndExpansionFailure) {
  platform::FileManager files;
  {
    auto delegate = makeDelegate({});
    delegate->cancelled = true;
    try {
      delegate->handleTar(makeArchive(1000, 0), files);
      ADD_FAILURE() << "no cancellation";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), AppDelegate::kCancelled);
    }
  }
  {
    auto delegate = makeDelegate({});
    const std::string archive = makeArchive(1000000, 0);
    std::string bytes = testing_support::readFile(archive);
    writeFile(archive, bytes.substr(0, bytes.size() / 2));
    try {
      delegate->handleTar(archive, files);
      ADD_FAILURE() << "a damaged archive passed";
    } catch (const platform::Exception& e) {
      EXPECT_NE(e.reason().find("runtime archive"), std::string::npos) << e.reason();
      EXPECT_NE(e.reason().find("damaged"), std::string::npos) << e.reason();
    }
  }
  {
    auto delegate = makeDelegate({});
    fs::remove_all(dir / "src");
    EXPECT_THROW(delegate->handleTar(makeArchive(10, 1, /*unpackSucceeds=*/false), files),
                 AppDelegate::RunEnded);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].message, "Internal error: could not run unpack200");
  }
}

// --- Worker ----------------------------------------------------------------------------------

TEST_F(HandleTarTest, WorkerEndsEveryFailureWithTheInternalErrorAndNoTemporaryDirectory) {
  struct NotAnException {};
  const std::function<void()> failures[] = {
      [] { throw NotAnException{}; },
      [] { throw std::runtime_error("queue broke"); },
  };
  const std::string archive = makeArchive(1000, 0);
  for (const auto& failure : failures) {
    notices.clear();
    auto delegate = makeDelegate({});
    writeFile(dir / "Demo.app/Contents/Resources/app/jre.tar.gz",
              testing_support::readFile(archive));
    queue.failure = failure;  // the first progress post throws
    try {
      delegate->worker();
    } catch (const ExitCalled& e) {
      EXPECT_EQ(e.status, 1);
    }
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].message.rfind("Internal error: ", 0), 0u) << notices[0].message;
  }
}

// --- Download callbacks -------------------------------------------------------------------------

TEST_F(AppDelegateTest, DownloadProgressTextAtMostEveryHalfSecond) {
  auto delegate = makeDelegate({});
  auto download = idleDownload(*delegate);
  clock = 1000000;
  delegate->downloadDidReceiveResponse(*download, {.expectedContentLength = 10485760});
  clock += 400000;
  delegate->downloadDidReceiveData(*download, 1048576);
  EXPECT_TRUE(window.progressTexts.empty()) << "not before half a second";
  clock += 100000;  // exactly half a second: still not
  delegate->downloadDidReceiveData(*download, 262144);
  EXPECT_TRUE(window.progressTexts.empty());
  clock += 1;
  delegate->downloadDidReceiveData(*download, 262144);
  ASSERT_EQ(window.progressTexts.size(), 1u);
  // 1 572 864 of 10 485 760 bytes after 0.500001 s.
  EXPECT_EQ(window.progressTexts[0], "1.5 of 10.0 MiB (15%) at 3071 KiB/s");
  EXPECT_DOUBLE_EQ(window.progress.back(), 15);
  EXPECT_EQ(window.progress.size(), 3u) << "the bar follows every callback";
}

TEST_F(AppDelegateTest, DownloadWithoutLengthPulses) {
  auto delegate = makeDelegate({});
  auto none = idleDownload(*delegate);
  delegate->downloadDidReceiveResponse(*none, {.expectedContentLength = -1});
  clock += 2000000;
  delegate->downloadDidReceiveData(*none, 100);
  EXPECT_TRUE(window.indeterminate);
  EXPECT_TRUE(window.animating);
  EXPECT_TRUE(window.progressTexts.empty());
  EXPECT_TRUE(window.progress.empty());
}

TEST_F(AppDelegateTest, ProgressInsertsFollowTheNumberPattern) {
  using V = std::vector<std::string>;
  EXPECT_EQ(AppDelegate::downloadProgressInserts(1572864, 10485760, 15.0, 1000000),
            (V{"1.5", "10.0", "15", "1536"}));
  EXPECT_EQ(AppDelegate::downloadProgressInserts(0, 52429, 0, 600000), (V{"0.0", "0.1", "0", "0"}));
  EXPECT_EQ(AppDelegate::downloadProgressInserts(1234567890, 1234567890, 99.99, 2000000),
            (V{"1177.4", "1177.4", "99", "602816"}));
  // An exact half (1.25 MiB) rounds to even, as it always has.
  EXPECT_EQ(AppDelegate::downloadProgressInserts(1310720, 1048576000, 0, 1000000)[0], "1.2");
}

TEST_F(AppDelegateTest, FailedDownloadRemovesTheTemporaryDirectoryAndEndsTheRun) {
  auto delegate = makeDelegate({});
  platform::FileManager files;
  delegate->tempDir = AppDelegate::createTemporaryDirectory(files);
  writeFile(*delegate->tempDir + "/jre.tar.gz", "partial");
  auto none = idleDownload(*delegate);
  try {
    delegate->downloadDidFail(*none, {"The requested URL returned error: 404", "http://x/y"});
    ADD_FAILURE() << "the run went on";
  } catch (const ExitCalled& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_TRUE(fs::is_empty(dir / "tmp"));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, "DownloadJreError");
  EXPECT_EQ(notices[0].header, "Demo");
}

TEST_F(AppDelegateTest, AddressThatIsNoURLEndsTheRunAtOnce) {
  auto delegate = makeDelegate({});
  platform::FileManager files;
  delegate->tempDir = AppDelegate::createTemporaryDirectory(files);
  delegate->downloadConditionLock = std::make_unique<ConditionLock>(0);
  EXPECT_THROW(delegate->startDownload("Demo", "no address", *delegate->tempDir + "/jre.tar.gz"),
               ExitCalled);
  EXPECT_TRUE(fs::is_empty(dir / "tmp"));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, "DownloadJreError");
}

}  // namespace
