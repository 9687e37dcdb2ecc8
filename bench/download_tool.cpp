// Downloads one URL with the platform download, delivering its callbacks on a queue of its own
// the way setupstub's main thread does: download_tool URL DESTINATION
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/download.h"

namespace {

class Queue {
 public:
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    ready_.notify_one();
  }
  void runUntil(const bool& done) {
    while (!done) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
};

class Delegate : public platform::DownloadDelegate {
 public:
  void downloadDidReceiveResponse(platform::Download&, const platform::URLResponse&) override {}
  void downloadDidReceiveData(platform::Download&, uint64_t length) override { bytes += length; }
  void downloadDidFinish(platform::Download&) override { done = true; }
  void downloadDidFail(platform::Download&, const platform::DownloadError& error) override {
    std::fprintf(stderr, "download_tool: %s\n", error.localizedDescription.c_str());
    failed = done = true;
  }
  uint64_t bytes = 0;
  bool done = false;
  bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: download_tool URL DESTINATION\n");
    return 2;
  }
  Queue queue;
  Delegate delegate;
  auto download = platform::Download::create(
      {.url = argv[1]}, delegate, [&](std::function<void()> task) { queue.post(std::move(task)); });
  if (!download) return 2;
  download->setDestination(argv[2]);
  download->start();
  queue.runUntil(delegate.done);
  return delegate.failed ? 1 : 0;
}
