// The queue between the single-instance server's thread and whoever takes the requests (the
// application's handler, through the Java API's delivery thread).
#include "launcher/open_requests.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "launcher/global.h"

namespace qmk::services {

namespace {

// Requests kept while nobody takes them: enough for a burst of opens from a file manager, small
// enough that a stuck application cannot make the instance grow without bound.
constexpr size_t kMaxQueued = 64;

class OpenRequestQueue {
 public:
  void push(OpenRequest request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.size() >= kMaxQueued) {
        ALOG("%s [Line %d] %d open requests are waiting; dropped the oldest, from %@",
             static_cast<int>(queue_.size()), queue_.front().workingDirectory);
        queue_.pop_front();
      }
      queue_.push_back(std::move(request));
    }
    ready_.notify_one();
  }

  OpenRequest take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty(); });
    OpenRequest request = std::move(queue_.front());
    queue_.pop_front();
    return request;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<OpenRequest> queue_;
};

// One queue per process: the server and the handler meet only here. Never destroyed, so that a
// thread still waiting in take() while the process exits does not touch a destroyed mutex.
OpenRequestQueue& processQueue() {
  static OpenRequestQueue* queue = new OpenRequestQueue();
  return *queue;
}

}  // namespace

void pushOpenRequest(OpenRequest request) { processQueue().push(std::move(request)); }

OpenRequest takeOpenRequest() { return processQueue().take(); }

}  // namespace qmk::services
