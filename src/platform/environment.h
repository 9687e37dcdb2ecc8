// The process environment, read afresh on each call.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform {

// Every variable, ordered by name, so that anything that walks the environment does so in the
// same order on every run.
std::map<std::string, std::string> environment();
std::optional<std::string> environmentValue(const std::string& name);

}  // namespace platform
