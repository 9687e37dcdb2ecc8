#include "platform/environment.h"

#include <cstdlib>

extern char** environ;

namespace platform {

std::map<std::string, std::string> environment() {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    // The first definition wins, as it does for getenv.
    variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return variables;
}

std::optional<std::string> environmentValue(const std::string& name) {
  // getenv compares only up to the first "=" of an entry, so "A=B" would find the variable A
  // whose value starts with "B="; a NUL would cut the name short.
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
    return std::nullopt;
  }
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace platform
