// Runs the update checker on a bundle the way a start leaves it behind (in a forked process),
// N times, and prints the CPU time (user + system) of each check in milliseconds:
// update_check_tool BUNDLE N
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "launcher/update_check.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: update_check_tool BUNDLE N\n");
    return 2;
  }
  auto bundle = platform::Bundle::create(argv[1]);
  auto settings = bundle ? qmk::update::updateSettings(*bundle) : std::nullopt;
  if (!settings) {
    std::fprintf(stderr, "update_check_tool: %s asks for no updates\n", argv[1]);
    return 1;
  }
  const int n = std::atoi(argv[2]);
  for (int i = 0; i < n; i++) {
    const pid_t child = ::fork();
    if (child == 0) {
      auto result = qmk::update::runUpdateCheck(*settings, qmk::update::CheckMode::kNow);
      ::_exit(result.outcome == qmk::update::CheckOutcome::kRefused ? 0 : 1);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    const double ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    std::printf("%.3f\n", ms);
  }
  return 0;
}
