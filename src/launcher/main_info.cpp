#include "launcher/main_info.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "launcher/global.h"
#include "platform/exception.h"
#include "platform/file_manager.h"

namespace qmk {

namespace {

// Top-level keys of other launchers' property lists: a bundle made for one of them keeps its
// configuration there, and none of it is used here.
constexpr const char* kForeignDictionaries[] = {"Java", "JavaX"};
constexpr const char* kForeignKeys[] = {"JVMMainClassName", "JVMOptions"};

std::string stateOf(const std::string& path, const std::string& reason) {
  platform::FileManager files;
  if (!files.fileExists(path)) return "is missing";
  if (reason == "not a dictionary") return "is not a dictionary";
  if (!files.isRegularFile(path) || ::access(path.c_str(), R_OK) != 0) return "cannot be read";
  return "is malformed";
}

void logForeignKeys(const platform::Bundle& bundle) {
  if (bundle.infoValue("JavaVM").isDictionary()) return;
  std::vector<std::string> found;
  for (const char* key : kForeignDictionaries) {
    if (bundle.infoValue(key).isDictionary()) found.emplace_back(key);
  }
  for (const char* key : kForeignKeys) {
    if (!bundle.infoValue(key).isNull()) found.emplace_back(key);
  }
  if (found.empty()) return;
  std::string names;
  for (const auto& name : found) names += (names.empty() ? "\"" : ", \"") + name + "\"";
  ALOG(
      "%s [Line %d] %s has no \"JavaVM\" dictionary but holds keys of another launcher (%s); "
      "they are not used",
      bundle.infoPath(), names);
}

}  // namespace

void checkApplicationInfo(const platform::Bundle& bundle) {
  if (const auto& problem = bundle.infoProblem()) {
    const std::string& path = bundle.infoPath();
    throw platform::Exception(
        "LaunchConfigurationError",
        "The application's Info.plist " + path + " " + stateOf(path, *problem) + ": " + *problem);
  }
  logForeignKeys(bundle);
}

}  // namespace qmk
