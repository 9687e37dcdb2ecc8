// What the running process was started with.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The process arguments as the kernel recorded them at exec (element 0 the program path).
std::vector<std::string> processArguments();
// The real path of the running executable.
std::string executablePath();
// The path the program was started as: argument 0 made absolute against the current directory,
// or, when it names no directory, the first executable of that name on PATH (where a shell found
// it). Links are not resolved. Empty when there is no argument 0 or nothing on PATH matches.
std::string startedProgramPath();

}  // namespace platform
