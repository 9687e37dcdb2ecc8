// The process-wide variables of the launch core and the diagnostic log.
//
// Debug lines appear only when QUILLMARK_LOG is exactly "yes", decided once per process at the
// first debug line. Always-on lines report failures whatever it says. Every format begins with
// "%s [Line %d] ", filled with the writing function's signature and source line by the macros.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "launcher/export.h"
#include "platform/format.h"

extern "C" {

typedef unsigned char jboolean;
typedef int (*JLI_Launch_t)(int argc, char** argv, int jargc, const char** jargv, int appclassc,
                            const char** appclassv, const char* fullversion, const char* dotversion,
                            const char* pname, const char* lname, jboolean javaargs,
                            jboolean cpwildcard, jboolean javaw, int ergo);

// The bound JLI_Launch of the loaded runtime library; once set, every entry is a second one.
QMK_EXPORT extern JLI_Launch_t JLI_LaunchFxnPtr;
// The version text handed to JLI_Launch; never freed.
QMK_EXPORT extern char* launchJavaVersion;
// The launch vector: entry 0 the program path, a null entry after the last. Never freed.
QMK_EXPORT extern int argc;
QMK_EXPORT extern char** argv;

// Debug log for C callers: printf conversions, "%@" takes a C string.
QMK_EXPORT void _DLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

QMK_EXPORT int launcher_main(int argc, char** argv);
}

namespace qmk {

// 0 = not decided yet, 1 = debug lines on, 2 = off. Atomic: the installer's threads may write
// their first debug line at the same moment.
extern std::atomic<int32_t> logStatus;

// Whether debug lines are on, deciding it on first use.
bool debugLogEnabled();
// Writes an already formatted line to the platform log.
void writeLogLine(const std::string& line);

template <typename... Args>
void debugLog(std::string_view fmt, const Args&... args) {
  if (!debugLogEnabled()) return;
  writeLogLine(platform::format(fmt, args...));
}

template <typename... Args>
void alwaysLog(std::string_view fmt, const Args&... args) {
  writeLogLine(platform::format(fmt, args...));
}

// For tests: forget the decision so the next debug line reads QUILLMARK_LOG again.
void resetLogStatusForTesting();

}  // namespace qmk

// DLOG("%s [Line %d] text %@", x): a debug line with the function signature and line filled in.
// Its arguments are evaluated only when debug lines are on: some copy whole class paths.
#define DLOG(fmt, ...)                                                                  \
  (::qmk::debugLogEnabled()                                                             \
       ? ::qmk::debugLog(fmt, __PRETTY_FUNCTION__, __LINE__ __VA_OPT__(, ) __VA_ARGS__) \
       : void())
// ALOG: the same, always on.
#define ALOG(fmt, ...) \
  ::qmk::alwaysLog(fmt, __PRETTY_FUNCTION__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
