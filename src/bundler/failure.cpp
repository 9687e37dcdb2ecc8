#include "bundler/failure.h"

#include <cstdio>

namespace bundler {

int runReporting(const std::string& command, const std::function<int()>& work) {
  try {
    return work();
  } catch (const UsageError& error) {
    std::fprintf(stderr, "qmk-bundle %s: %s\n", command.c_str(), error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qmk-bundle %s: %s\n", command.c_str(), error.what());
    return kExitFailed;
  }
}

void warn(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "qmk-bundle %s: warning: %s\n", command.c_str(), text.c_str());
}

}  // namespace bundler
