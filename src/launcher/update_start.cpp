// Leaving the update checker behind: the same means as the startup cache's builder (forked
// twice, so that it is nobody's child here; its own session; no terminal; low priority). The
// start itself pays one stat of the state file when the bundle asks for updates.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "launcher/global.h"
#include "launcher/update_check.h"
#include "launcher/update_state.h"
#include "platform/file_manager.h"

namespace qmk::update {
namespace {

// Every check writes the state file when it begins, so a file written within the interval
// means no check is due; that takes one stat instead of reading it. The file may also have
// been written for another reason (a version found bad): then the checker, which reads the
// recorded time under its lock, ends at once.
bool checkDue(const UpdateSettings& settings) {
  const std::string dir = stateDirectory(settings.identifier);
  if (dir.empty()) return false;
  struct stat info;
  if (::stat(platform::joinPath(dir, kStateFile).c_str(), &info) != 0) return true;
  const int64_t now = ::time(nullptr);
  const int64_t written = info.st_mtim.tv_sec;
  // A time in the future means the clock was set back: check rather than wait for it.
  return written > now || now - written >= settings.interval;
}

void detach() {
  ::setsid();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
  }
  ::close_range(3, ~0U, 0);
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(SIGHUP, SIG_IGN);
  ::setpriority(PRIO_PROCESS, 0, 19);
}

}  // namespace

void startUpdateCheckIfDue(const platform::Bundle& bundle) {
  auto settings = updateSettings(bundle);
  if (!settings || !checkDue(*settings)) return;
  if (!canApplyUpdates(settings->bundlePath)) {
    DLOG(
        "%s [Line %d] updates: %@ lies in a folder this user cannot write; its package manager "
        "updates it",
        settings->bundlePath);
    return;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    DLOG("%s [Line %d] updates: no checker, fork failed");
    return;
  }
  if (child == 0) {
    if (::fork() == 0) {
      detach();
      runUpdateCheck(*settings, CheckMode::kScheduled);
    }
    ::_exit(0);
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  DLOG("%s [Line %d] updates: checker started for %@", settings->feedUrl);
}

}  // namespace qmk::update
