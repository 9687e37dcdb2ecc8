// Restart: when the application exits with the bundle's restart status, or after it asked for a
// restart, the exit handler re-executes this launcher in the same process with the vector,
// environment and working directory it was first started with. The new run searches, reads its
// options and prepares its cache anew, as any start does.
#include "launcher/restart.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/global.h"
#include "launcher/services_start.h"
#include "launcher/single_instance.h"

extern char** environ;

namespace qmk::services {

namespace {

// When the earlier restarts of this process happened: carried across exec, never seen by the
// application.
constexpr const char* kRestartTimesVariable = "QMK_RESTART_TIMES";
// The runtime library's re-execution markers: a restarted launcher is a new start, not a resume.
constexpr const char* kDroppedVariables[] = {"QMK_RESUME_PID", "QMK_RESUME_LIBRARY",
                                             "QMK_RESUME_VERSION", kRestartTimesVariable,
                                             "QMK_INSTANCE_HANDOVER"};
constexpr size_t kMaxRestarts = 5;
constexpr int64_t kRestartWindowMs = 60'000;

int64_t nowMs() {
  timespec now{};
  // Monotonic time is the machine's, not the process's: it carries across exec.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

bool droppedEntry(const char* entry) {
  for (const char* name : kDroppedVariables) {
    const size_t n = std::strlen(name);
    if (std::strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
  }
  return false;
}

std::vector<int64_t> parseTimes(const char* text) {
  std::vector<int64_t> times;
  while (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text) break;
    times.push_back(value);
    text = (*end == ',') ? end + 1 : end;
  }
  return times;
}

// Looked up when the restart happens, not at the start: the start stays cheap, and the path is
// where the launcher is now.
std::string programPath(const std::string& argument0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  char* resolved = realpath(argument0.c_str(), nullptr);
  std::string path = resolved != nullptr ? resolved : argument0;
  std::free(resolved);
  return path;
}

std::string workingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// Everything a restart needs, recorded before the launch changes any of it. Made once, before
// the runtime starts, and never freed: the exit handler reads it while the process ends.
struct RestartPlan {
  pid_t pid = 0;
  std::optional<int> status;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  std::string directory;
  std::vector<int64_t> earlierRestarts;
  rlimit files{};
  std::atomic<bool> requested{false};
};

RestartPlan*& armedPlan() {
  static RestartPlan* plan = nullptr;
  return plan;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

void restartNow(RestartPlan& plan, int status) {
  const int64_t now = nowMs();
  std::vector<int64_t> recent;
  for (int64_t t : plan.earlierRestarts) {
    if (now - t < kRestartWindowMs) recent.push_back(t);
  }
  if (recent.size() >= kMaxRestarts) {
    ALOG("%s [Line %d] not restarting: the application was restarted %d times within 60 s; "
         "it ends with status %d",
         static_cast<int>(recent.size()), status);
    return;
  }
  recent.push_back(now);
  std::string times;
  for (int64_t t : recent) times += (times.empty() ? "" : ",") + std::to_string(t);

  std::vector<std::string> environment = plan.environment;
  environment.push_back(std::string(kRestartTimesVariable) + "=" + times);
  if (auto handover = handOverInstance()) environment.push_back(*handover);
  const std::string program = programPath(plan.arguments.empty() ? "" : plan.arguments[0]);
  DLOG("%s [Line %d] restarting %@ after status %d", program, status);

  std::fflush(nullptr);
  // The runtime changes the descriptor limit and blocks signals in its threads; the new run
  // starts as the first one did.
  setrlimit(RLIMIT_NOFILE, &plan.files);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  if (!plan.directory.empty() && chdir(plan.directory.c_str()) != 0) {
    DLOG("%s [Line %d] cannot return to %@", plan.directory);
  }
  std::vector<std::string> arguments = plan.arguments;
  auto argv = pointers(arguments);
  auto envp = pointers(environment);
  execve(program.c_str(), argv.data(), envp.data());
  ALOG("%s [Line %d] could not restart %@ (%s); the application ends with status %d", program,
       std::strerror(errno), status);
}

void onProcessExit(int status, void*) {
  RestartPlan* plan = armedPlan();
  // A child forked by the application that exits runs this handler too; it restarts nothing.
  // Nor does a start that never reached the runtime: its failure would only repeat.
  if (plan == nullptr || getpid() != plan->pid || JLI_LaunchFxnPtr == nullptr) return;
  if (!plan->requested.load() && plan->status != status) return;
  restartNow(*plan, status);
}

}  // namespace

void armRestart(std::optional<int> restartStatus, int count, char** vector) {
  if (armedPlan() != nullptr) return;
  auto* plan = new RestartPlan();
  plan->pid = getpid();
  plan->status = restartStatus;
  plan->arguments.assign(vector, vector + count);
  plan->earlierRestarts = parseTimes(std::getenv(kRestartTimesVariable));
  for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
    if (!droppedEntry(*entry)) plan->environment.emplace_back(*entry);
  }
  plan->directory = workingDirectory();
  getrlimit(RLIMIT_NOFILE, &plan->files);
  dropRestartBookkeeping();
  armedPlan() = plan;
  on_exit(onProcessExit, nullptr);
}

void dropRestartBookkeeping() {
  if (std::getenv(kRestartTimesVariable) != nullptr) unsetenv(kRestartTimesVariable);
}

void requestRestart() {
  if (RestartPlan* plan = armedPlan()) {
    plan->requested.store(true);
  } else {
    ALOG("%s [Line %d] a restart was asked for, but this start has no launcher services; the "
         "application only exits");
  }
}

}  // namespace qmk::services
