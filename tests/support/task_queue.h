// A test's main queue: tasks posted from another thread (a download's transfer thread) run when
// the test pumps, in the order they were posted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/download.h"

namespace testing_support {

class TaskQueue {
 public:
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    ready_.notify_one();
  }
  platform::Dispatcher dispatcher() {
    return [this](std::function<void()> task) { post(std::move(task)); };
  }
  // Runs tasks until `done` holds; gives up after a generous guard so a hang fails the test.
  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::seconds guard = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace testing_support
