// Leaving the update checker behind: the same means as the startup cache's builder (forked
// twice, so that it is nobody's child here; its own session; no terminal; low priority). The
// start itself pays one read of the small state file when the bundle asks for updates.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "launcher/global.h"
#include "launcher/update_check.h"
#include "launcher/update_state.h"

namespace qmk::update {
namespace {

bool checkDue(const UpdateSettings& settings) {
  const std::string dir = stateDirectory(settings.identifier);
  if (dir.empty()) return false;
  const std::optional<int64_t> last = readState(dir).lastCheck;
  const int64_t now = ::time(nullptr);
  // A last check in the future means the clock was set back: check rather than wait for it.
  return !last || *last > now || now - *last >= settings.interval;
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
  if (!settings) return;
  if (!canApplyUpdates(settings->bundlePath)) {
    DLOG(
        "%s [Line %d] updates: %@ lies in a folder this user cannot write; its package manager "
        "updates it",
        settings->bundlePath);
    return;
  }
  if (!checkDue(*settings)) return;
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
