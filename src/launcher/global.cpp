// The process-wide variables of the launch core and the diagnostic log switch.
#include "launcher/global.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/log.h"

extern "C" {
JLI_Launch_t JLI_LaunchFxnPtr = nullptr;
char* launchJavaVersion = nullptr;
int argc = 0;
char** argv = nullptr;
}

namespace qmk {

namespace {
constexpr const char* kLogVariable = "QUILLMARK_LOG";
constexpr int32_t kUndecided = 0;
constexpr int32_t kOn = 1;
constexpr int32_t kOff = 2;
}  // namespace

std::atomic<int32_t> logStatus{kUndecided};

bool debugLogEnabled() {
  int32_t status = logStatus.load(std::memory_order_relaxed);
  if (status == kUndecided) {
    // Every thread that gets here computes the same answer from the same environment.
    const char* value = std::getenv(kLogVariable);
    status = (value != nullptr && std::strcmp(value, "yes") == 0) ? kOn : kOff;
    logStatus.store(status, std::memory_order_relaxed);
  }
  return status == kOn;
}

void writeLogLine(const std::string& line) { platform::log(line); }

void resetLogStatusForTesting() { logStatus.store(kUndecided); }

}  // namespace qmk

extern "C" void _DLog(const char* format, ...) {
  if (format == nullptr || !qmk::debugLogEnabled()) return;
  // C callers pass C strings for "%@".
  std::string fmt(format);
  for (size_t pos = 0; (pos = fmt.find("%@", pos)) != std::string::npos;) {
    // "%%@" is a literal percent followed by "@".
    size_t run = 0;
    while (run < pos && fmt[pos - 1 - run] == '%') run++;
    if (run % 2 == 0) fmt[pos + 1] = 's';
    pos += 2;
  }
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt.c_str(), copy);
  va_end(copy);
  std::string line;
  if (n > 0) {
    std::vector<char> buffer(static_cast<size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), fmt.c_str(), ap);
    line.assign(buffer.data(), static_cast<size_t>(n));
  }
  va_end(ap);
  qmk::writeLogLine(line);
}
