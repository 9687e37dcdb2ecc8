// Reliability scenarios for the runtime download: a server that closes the connection in the
// middle of the body, one that sends more than it announced, a response that never ends and is
// cancelled, and one that stalls until the time-out. The whole setupstub downloads from the
// loopback server (tests/fixtures/http_server.py); each run must end with the right outcome,
// remove its temporary directory with the partial file, and leave everything else as it was.
// FailedDownloadsShowTheirNotice and CtrlCDuringASlowDownloadCancels in setupstub_test cover a
// drop in the middle of a body with a length, and Cancel during a slow download of the runtime.
// Each scenario records a figure line (support/reliability.h).
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/download.h"
#include "support/http_server.h"
#include "support/installer_fixture.h"
#include "support/reliability.h"
#include "support/task_queue.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const std::string kArea = "Downloads";

class DownloadReliability : public SetupstubTest {
 protected:
  HttpServer server{*shared / ""};
  uint64_t archiveSize = fs::file_size(runtimeArchive());

  std::string makeDownloadingInstaller(const std::string& path) {
    fs::remove_all(dir / "Demo.app");
    return makeInstaller({{"qmk.jreLocation", str(server.url(path))},
                          {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
                         false);
  }

  // The run's temporary directory while it exists.
  std::optional<std::string> runDirectory() const {
    for (const auto& entry : fs::directory_iterator(tmp)) return entry.path().string();
    return std::nullopt;
  }

  // The test directory apart from the temporary folder, which must end empty.
  TreeSnapshot outside() const { return TreeSnapshot::of(dir.path(), {"tmp"}); }
};

struct CloseCase {
  std::string input;
  std::string query;
  std::string notice;
};

TEST_F(DownloadReliability, ServerClosingInTheMiddleOfTheBody) {
  const std::string size = std::to_string(archiveSize);
  const std::string half = std::to_string(archiveSize / 2);
  const CloseCase cases[] = {
      {"the server closes the connection right after the headers (Content-Length given)", "drop=0",
       "The runtime could not be downloaded."},
      {"the server closes the connection one byte short of the Content-Length",
       "drop=" + std::to_string(archiveSize - 1), "The runtime could not be downloaded."},
      {"a chunked body: every data byte sent, then the connection closed without the last chunk",
       "length=none&drop=" + size, "The runtime could not be downloaded."},
      {"a body without length or chunks (it ends where the connection does), the connection "
       "closed halfway",
       "length=close&drop=" + half, "Internal error: The runtime archive"},
  };
  for (const auto& c : cases) {
    const std::string app = makeDownloadingInstaller("/files/jre.tar.gz?" + c.query);
    const TreeSnapshot before = outside();
    Stopwatch clock;
    RunResult r = runInstaller(app);
    const double seconds = clock.seconds();
    EXPECT_EQ(r.status, 1) << c.input << r.err;
    EXPECT_TRUE(noticeShown(r, c.notice)) << c.input << r.err;
    EXPECT_EQ(r.out.find("arg["), std::string::npos) << c.input << ": the installer never ran";
    EXPECT_TRUE(temporaryDirectoriesGone()) << c.input;
    const std::vector<std::string> changes = before.differences(outside());
    EXPECT_TRUE(changes.empty()) << c.input << "\n" << joined(changes);
    std::string outcome;
    if (c.notice.rfind("Internal", 0) == 0) {
      std::smatch reason;
      std::regex_search(r.err, reason, std::regex("is damaged: ([^\n]*)\\."));
      outcome =
          "the download looks whole (nothing tells a cut); the extraction reports the "
          "archive damaged (\"" +
          reason[1].str() + "\"): notice, status 1";
    } else {
      outcome = "download failed: the \"could not be downloaded\" notice, status 1";
    }
    figure(kArea, c.input + " (the runtime archive, " + grouped(archiveSize) + " bytes)",
           outcome + ", after " + secondsText(seconds, 2) + "; the installer never started",
           "temporary directory and partial file removed; nothing else changed (" +
               std::to_string(before.size()) + " entries compared)");
  }
}

// The platform download on its own, to see exactly what it stores.
struct Outcome : platform::DownloadDelegate {
  void downloadDidReceiveResponse(platform::Download&, const platform::URLResponse& r) override {
    announced = r.expectedContentLength;
  }
  void downloadDidReceiveData(platform::Download&, uint64_t length) override { bytes += length; }
  void downloadDidFinish(platform::Download&) override { finished = over = true; }
  void downloadDidFail(platform::Download&, const platform::DownloadError&) override {
    over = true;
  }
  int64_t announced = -1;
  uint64_t bytes = 0;
  bool finished = false, over = false;
};

TEST_F(DownloadReliability, ServerSendingMoreThanItsContentLength) {
  // The download keeps exactly what was announced.
  constexpr size_t kSent = 3000000, kAnnounced = 2000000;
  ScopedEnv noProxy("no_proxy", "127.0.0.1");
  TaskQueue queue;
  Outcome outcome;
  const std::string destination = dir / "download";
  {
    auto download =
        platform::Download::create({.url = server.url("/bytes/" + std::to_string(kSent) +
                                                      "?announce=" + std::to_string(kAnnounced))},
                                   outcome, queue.dispatcher());
    ASSERT_TRUE(download);
    download->setDestination(destination);
    download->start();
    ASSERT_TRUE(queue.pumpUntil([&] { return outcome.over; }));
  }
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.announced, static_cast<int64_t>(kAnnounced));
  EXPECT_EQ(outcome.bytes, kAnnounced);
  EXPECT_EQ(readFile(destination), HttpServer::pattern(kAnnounced));

  // The installer: the runtime archive announced 100,000 bytes short keeps those bytes only,
  // so the extraction finds it cut.
  const uint64_t announced = archiveSize - 100000;
  const std::string app =
      makeDownloadingInstaller("/files/jre.tar.gz?announce=" + std::to_string(announced));
  const TreeSnapshot before = outside();
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(noticeShown(r, "Internal error: The runtime archive")) << r.err;
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
  const std::vector<std::string> changes = before.differences(outside());
  EXPECT_TRUE(changes.empty()) << joined(changes);
  figure(kArea,
         "the server announces " + grouped(kAnnounced) + " bytes and sends " + grouped(kSent),
         "the download finishes with exactly the " + grouped(kAnnounced) +
             " announced bytes, the same as sent; the rest is never read",
         "nothing beyond the announced length stored");
  figure(kArea,
         "setupstub downloading the runtime archive (" + grouped(archiveSize) +
             " bytes) announced as " + grouped(announced),
         "the stored archive is cut at the announced length; the extraction reports it damaged: "
         "notice, status 1, the installer never started",
         "temporary directory and file removed; nothing else changed");
}

TEST_F(DownloadReliability, NeverEndingResponseCancelled) {
  const std::string app = makeDownloadingInstaller("/endless");
  const TreeSnapshot before = outside();
  Spawned installer({program(app)}, environment());
  ASSERT_TRUE(installer.waitForError("Downloading Java for Demo\n")) << installer.err();
  // The partial file appears with the first data; a little more comes in before Cancel.
  std::optional<std::string> partial;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!partial && std::chrono::steady_clock::now() < deadline) {
    std::optional<std::string> run = runDirectory();
    if (run && fs::exists(*run + "/jre.tar.gz")) partial = *run + "/jre.tar.gz";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(partial) << "no partial file appeared";
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string runDir = fs::path(*partial).parent_path().string();
  const uint64_t partialSize = fs::file_size(*partial);
  installer.signal(SIGINT);
  Stopwatch clock;
  RunResult r = installer.finish();
  const double seconds = clock.seconds();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(anyNotice(r)) << r.err;
  EXPECT_FALSE(fs::exists(*partial));
  EXPECT_FALSE(fs::exists(runDir));
  EXPECT_TRUE(temporaryDirectoriesGone());
  EXPECT_LT(seconds, 5);
  const std::vector<std::string> changes = before.differences(outside());
  EXPECT_TRUE(changes.empty()) << joined(changes);
  figure(kArea,
         "a response that never ends (chunked, 20 KiB/s), Cancel (Ctrl-C) a second after the "
         "partial file appeared (" +
             grouped(partialSize) +
             " bytes on disk then, the rest "
             "still in the download's 512 KiB buffer)",
         "the run ended " + secondsText(seconds, 3) +
             " after Cancel with Cancel's outcome: status 1, no notice",
         "partial file and temporary directory removed; nothing else changed");
}

TEST_F(DownloadReliability, StalledResponseTimesOutAfterAMinute) {
  const std::string app = makeDownloadingInstaller("/stall");
  const TreeSnapshot before = outside();
  Stopwatch clock;
  RunResult r = runInstaller(app);
  const double seconds = clock.seconds();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(noticeShown(r, "The runtime could not be downloaded.")) << r.err;
  EXPECT_GE(seconds, 59);
  EXPECT_LT(seconds, 75);
  EXPECT_TRUE(temporaryDirectoriesGone());
  const std::vector<std::string> changes = before.differences(outside());
  EXPECT_TRUE(changes.empty()) << joined(changes);
  figure(kArea, "the server sends its headers (1,000,000 bytes announced), then nothing",
         "the time-out fired: the \"could not be downloaded\" notice, status 1, after " +
             secondsText(seconds),
         "partial file and temporary directory removed; nothing else changed");
}

}  // namespace
