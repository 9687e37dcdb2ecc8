// The main operation queue: tasks that must run on the main thread (window changes, download
// callbacks), posted from any thread and run in the order posted.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/unique_fd.h"

class MainQueue {
 public:
  using Task = std::function<void()>;
  virtual ~MainQueue() = default;
  // Queues `task` to run later on the main thread; never runs it at once and never waits.
  virtual void post(Task task) = 0;
};

// The queue of the GTK main context (the default GLib context); only once GTK is loaded.
class GlibMainQueue : public MainQueue {
 public:
  void post(Task task) override;
  // Runs the GTK main loop; never returns.
  [[noreturn]] void run();
};

// The terminal backend's own run loop: runs posted tasks, and turns Ctrl-C (SIGINT) into calls
// of the interrupt handler on the main thread.
class RunLoop : public MainQueue {
 public:
  RunLoop();
  ~RunLoop() override;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  void post(Task task) override;
  // Called on the loop's thread for each Ctrl-C that arrives while the loop runs.
  void setInterruptHandler(std::function<void()> handler) {
    interruptHandler_ = std::move(handler);
  }
  // Runs tasks until stop() (in practice the process ends first).
  void run();
  void stop();

 private:
  void wake();
  void drainWakeups();
  void runPendingTasks();

  std::mutex mutex_;
  std::deque<Task> tasks_;
  platform::UniqueFd wakeRead_;
  platform::UniqueFd wakeWrite_;
  std::atomic<bool> stopped_{false};
  std::function<void()> interruptHandler_;
};
