// A lock with an integer condition: a thread can wait until the lock is free and holds a given
// condition, and sets the condition as it lets go. The installer's worker waits on one for the
// download that the main thread runs.
#pragma once

#include <condition_variable>
#include <mutex>

class ConditionLock {
 public:
  explicit ConditionLock(int condition = 0) : condition_(condition) {}
  ConditionLock(const ConditionLock&) = delete;
  ConditionLock& operator=(const ConditionLock&) = delete;

  int condition() const {
    std::lock_guard guard(mutex_);
    return condition_;
  }

  // Waits until the lock is free and its condition is `condition`, then takes it.
  void lockWhenCondition(int condition) {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return !locked_ && condition_ == condition; });
    locked_ = true;
  }

  // Lets go of the lock, leaving `condition` for the next taker. The lock may be let go by
  // another thread than the one that took it: the download is handed over that way.
  void unlockWithCondition(int condition) {
    {
      std::lock_guard guard(mutex_);
      locked_ = false;
      condition_ = condition;
    }
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool locked_ = false;
  int condition_;
};
