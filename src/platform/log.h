// The platform log: one line on standard error, "YYYY-MM-DD HH:MM:SS.mmm prog[pid:tid] message",
// and the same message to the system log.
#pragma once

#include <string>

namespace platform {

void log(const std::string& message);

}  // namespace platform
