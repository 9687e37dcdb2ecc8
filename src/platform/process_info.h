// What the running process was started with.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The process arguments as the kernel recorded them at exec (element 0 the program path).
std::vector<std::string> processArguments();
// The real path of the running executable.
std::string executablePath();

}  // namespace platform
