#include "platform/log.h"

#include <errno.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "platform/write_all.h"

namespace platform {

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm prog[pid:tid] " in local time.
std::string linePrefix() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                now.tv_nsec / 1000000);
  return std::string(stamp) + " " + program_invocation_short_name + "[" +
         std::to_string(::getpid()) + ":" + std::to_string(::gettid()) + "] ";
}

void writeToSystemLog(const std::string& message) {
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
  ::syslog(LOG_NOTICE, "%s", message.c_str());
}

}  // namespace

void log(const std::string& message) {
  std::string line = linePrefix() + message;
  if (line.empty() || line.back() != '\n') line += '\n';
  // One write for the whole line, so that lines of concurrent threads never interleave.
  platform::writeAll(STDERR_FILENO, line);
  writeToSystemLog(message);
}

}  // namespace platform
