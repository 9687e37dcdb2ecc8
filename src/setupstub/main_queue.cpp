#include "setupstub/main_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "setupstub/gtk_api.h"

namespace {

constexpr char kTaskByte = 't';
constexpr char kInterruptByte = 'i';

// The write end of the running loop's wake-up pipe, for the SIGINT handler: a signal handler
// can reach nothing else.
std::atomic<int> interruptPipe{-1};

void onInterrupt(int) {
  int saved = errno;
  int fd = interruptPipe.load();
  if (fd >= 0) {
    ssize_t ignored = ::write(fd, &kInterruptByte, 1);
    (void)ignored;
  }
  errno = saved;
}

gboolean runGlibTask(gpointer data) {
  (*static_cast<MainQueue::Task*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteGlibTask(gpointer data) { delete static_cast<MainQueue::Task*>(data); }

}  // namespace

void GlibMainQueue::post(Task task) {
  // Below the redraw priority, so that a stream of progress updates still lets the window
  // repaint and react to input.
  gtkApi()->g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, runGlibTask, new Task(std::move(task)),
                            deleteGlibTask);
}

void GlibMainQueue::run() {
  gtkApi()->gtk_main();
  std::abort();  // the loop is never quit: the worker or a failed download ends the process
}

RunLoop::RunLoop() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
  wakeRead_.reset(fds[0]);
  wakeWrite_.reset(fds[1]);
}

RunLoop::~RunLoop() = default;

void RunLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake();
}

void RunLoop::wake() {
  ssize_t ignored = ::write(wakeWrite_.get(), &kTaskByte, 1);  // a full pipe already means "wake"
  (void)ignored;
}

void RunLoop::stop() {
  stopped_ = true;
  wake();
}

void RunLoop::run() {
  struct sigaction action {
  }, previous{};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  interruptPipe = wakeWrite_.get();
  ::sigaction(SIGINT, &action, &previous);

  while (!stopped_) {
    pollfd fd{wakeRead_.get(), POLLIN, 0};
    if (::poll(&fd, 1, -1) < 0 && errno != EINTR) break;
    drainWakeups();
    runPendingTasks();
  }

  ::sigaction(SIGINT, &previous, nullptr);
  interruptPipe = -1;
}

void RunLoop::drainWakeups() {
  char buffer[64];
  ssize_t n;
  bool interrupted = false;
  while ((n = ::read(wakeRead_.get(), buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < n; i++) interrupted |= buffer[i] == kInterruptByte;
  }
  if (interrupted && interruptHandler_) interruptHandler_();
}

void RunLoop::runPendingTasks() {
  for (;;) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty() || stopped_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}
