#include "platform/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "support/http_server.h"
#include "support/task_queue.h"
#include "support/test_support.h"

using platform::Download;
using testing_support::exists;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::TaskQueue;
using testing_support::TempDir;

namespace {

class Recorder : public platform::DownloadDelegate {
 public:
  void downloadDidReceiveResponse(Download&, const platform::URLResponse& r) override {
    events.push_back("response");
    response = r;
  }
  void downloadDidReceiveData(Download&, uint64_t length) override {
    if (events.empty() || events.back() != "data") events.push_back("data");
    bytes += length;
  }
  void downloadDidFinish(Download&) override {
    events.push_back("finish");
    over = true;
  }
  void downloadDidFail(Download&, const platform::DownloadError& e) override {
    events.push_back("fail");
    error = e;
    over = true;
  }

  std::vector<std::string> events;
  platform::URLResponse response;
  std::optional<platform::DownloadError> error;
  uint64_t bytes = 0;
  bool over = false;
};

class DownloadTest : public ::testing::Test {
 protected:
  // Loopback requests never go through a proxy the machine may name.
  ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
  TempDir dir;
  HttpServer server{dir.path()};
  TaskQueue queue;
  Recorder recorder;
  std::string destination = dir / "jre.tar.gz";

  std::unique_ptr<Download> start(const std::string& url, double timeout = 60) {
    auto download =
        Download::create({.url = url, .timeoutInterval = timeout}, recorder, queue.dispatcher());
    if (download) {
      download->setDestination(destination);
      download->start();
    }
    return download;
  }

  void runToEnd(const std::string& url, double timeout = 60) {
    auto download = start(url, timeout);
    ASSERT_TRUE(download) << url;
    ASSERT_TRUE(queue.pumpUntil([&] { return recorder.over; })) << url;
  }
};

struct SuccessCase {
  std::string path;
  size_t size;
  int64_t expectedLength;  // as announced
};

TEST_F(DownloadTest, TransfersArriveWholeAndInOrder) {
  const SuccessCase cases[] = {
      {"/bytes/3000000", 3000000, 3000000},
      {"/bytes/3000000?length=none", 3000000, -1},
      {"/bytes/0", 0, 0},
      {"/redirect/bytes/70000", 70000, 70000},
      {"/bytes/40000?rate=100000", 40000, 40000},
  };
  for (const auto& c : cases) {
    recorder = Recorder();
    runToEnd(server.url(c.path));
    EXPECT_EQ(recorder.events.front(), "response") << c.path;
    EXPECT_EQ(recorder.events.back(), "finish") << c.path;
    EXPECT_LE(recorder.events.size(), 3u) << c.path;  // response, data, finish
    EXPECT_EQ(recorder.response.expectedContentLength, c.expectedLength) << c.path;
    EXPECT_EQ(recorder.bytes, c.size) << c.path;
    EXPECT_EQ(readFile(destination), HttpServer::pattern(c.size)) << c.path;
  }
  EXPECT_EQ(recorder.response.url, server.url("/bytes/40000?rate=100000"));
}

TEST_F(DownloadTest, ContentIsStoredAsSentAndReplacesAnExistingFile) {
  testing_support::writeFile(destination, std::string(5000000, 'o'));
  runToEnd(server.url("/gzip-encoded/100000"));
  ASSERT_EQ(recorder.events.back(), "finish");
  std::string stored = readFile(destination);
  // Still compressed: the gzip magic, and nowhere near the decoded size.
  ASSERT_GE(stored.size(), 2u);
  EXPECT_EQ(stored.substr(0, 2), "\x1f\x8b");
  EXPECT_LT(stored.size(), 100000u);
  EXPECT_EQ(recorder.bytes, stored.size());
}

TEST_F(DownloadTest, FileURLsWork) {
  testing_support::writeFile(dir / "local.bin", "local content");
  runToEnd("file://" + dir / "local.bin");
  EXPECT_EQ(recorder.events.back(), "finish");
  EXPECT_EQ(readFile(destination), "local content");
  EXPECT_EQ(recorder.response.expectedContentLength, 13);
}

TEST_F(DownloadTest, FailuresLeaveNoFile) {
  const int closedPort = testing_support::unusedLoopbackPort();
  const std::string cases[] = {
      server.url("/status/404"),
      server.url("/status/500"),
      server.url("/bytes/2000000?drop=1000000"),
      server.url("/bytes/2000000?drop=1000000&length=none"),
      "http://127.0.0.1:" + std::to_string(closedPort) + "/x",
      "file://" + dir / "missing",
  };
  for (const auto& url : cases) {
    recorder = Recorder();
    runToEnd(url);
    EXPECT_EQ(recorder.events.back(), "fail") << url;
    ASSERT_TRUE(recorder.error) << url;
    EXPECT_FALSE(recorder.error->localizedDescription.empty()) << url;
    EXPECT_EQ(recorder.error->failingURLString, url);
    EXPECT_FALSE(exists(destination)) << url;
  }
}

TEST_F(DownloadTest, NoProgressForTheIntervalIsATimeOut) {
  const auto begin = std::chrono::steady_clock::now();
  runToEnd(server.url("/stall"), /*timeout=*/2);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(recorder.events.back(), "fail");
  ASSERT_TRUE(recorder.error);
  EXPECT_EQ(recorder.error->localizedDescription, "The request timed out.");
  EXPECT_GE(took.count(), 2);
  EXPECT_LT(took.count(), 4.5);
  EXPECT_FALSE(exists(destination));
}

TEST_F(DownloadTest, ATrickleSlowerThanAByteASecondNeverTimesOut) {
  // A byte every two seconds for six seconds: never idle for the three-second limit, though
  // well under a byte a second on average.
  const auto begin = std::chrono::steady_clock::now();
  runToEnd(server.url("/bytes/4?rate=0.5"), /*timeout=*/3);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(recorder.events.back(), "finish");
  EXPECT_GT(took.count(), 5.5);
  EXPECT_EQ(readFile(destination), HttpServer::pattern(4));
}

TEST_F(DownloadTest, CancelStopsCallbacksAndRemovesTheFile) {
  auto download = start(server.url("/endless"));
  ASSERT_TRUE(download);
  ASSERT_TRUE(queue.pumpUntil([&] { return recorder.bytes > 0; }));
  download->cancel();
  const size_t eventsAtCancel = recorder.events.size();
  const uint64_t bytesAtCancel = recorder.bytes;
  download.reset();  // waits for the transfer thread
  queue.pumpUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_EQ(recorder.events.size(), eventsAtCancel);
  EXPECT_EQ(recorder.bytes, bytesAtCancel);
  EXPECT_FALSE(recorder.over);
  EXPECT_FALSE(exists(destination));
}

TEST_F(DownloadTest, ProxyComesFromTheEnvironment) {
  // The name cannot resolve: only a proxy can answer for it.
  ScopedEnv proxy("http_proxy", "http://127.0.0.1:" + std::to_string(server.port()));
  ScopedEnv none("no_proxy", std::nullopt);
  runToEnd("http://installer-test.invalid/bytes/1000");
  EXPECT_EQ(recorder.events.back(), "finish");
  EXPECT_EQ(readFile(destination), HttpServer::pattern(1000));
}

TEST_F(DownloadTest, OnlyAbsoluteURLsOfKnownSchemes) {
  for (const char* url :
       {"", "   ", "jre.tar.gz", "/tmp/jre.tar.gz", "gopher://127.0.0.1/x", "not a url at all"}) {
    EXPECT_FALSE(start(url)) << url;
  }
}

}  // namespace
