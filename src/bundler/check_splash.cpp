// qmk-bundle check, the splash image: the runtime given a SplashFile it cannot show starts
// without a splash and says nothing, so check says it.
#include <string>

#include "bundler/check_report.h"
#include "bundler/splash.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr const char* kBundleVariable = "$APP_PACKAGE";

// The path the runtime opens: the bundle path put in, a relative path taken from the working
// directory the launch runs in.
std::string splashPath(const std::string& value, const std::string& bundle,
                       const std::optional<std::string>& workingDirectory) {
  std::string path = value;
  for (size_t at = 0; (at = path.find(kBundleVariable, at)) != std::string::npos;
       at += bundle.size()) {
    path.replace(at, std::string(kBundleVariable).size(), bundle);
  }
  if (!path.starts_with("/") && workingDirectory) path = platform::joinPath(*workingDirectory, path);
  return path;
}

}  // namespace

void addSplashWarnings(CheckReport& report, const plist::Value& javaVM, const std::string& bundle) {
  auto value = javaVM["SplashFile"].stringValue();
  if (!value) return;
  const std::string path = splashPath(*value, bundle, report.workingDirectory);
  platform::FileManager files;
  const std::string start = "SplashFile names " + path + ", which ";
  const std::string end = ": the application would start without a splash";
  if (!files.fileExists(path)) {
    report.warnings.push_back(start + "does not exist" + end);
  } else if (auto bytes = files.readFile(path); !bytes) {
    report.warnings.push_back(start + "cannot be read" + end);
  } else if (!imageKindOf(*bytes)) {
    report.warnings.push_back(start + "is not a PNG, GIF or JPEG image" + end);
  }
}

}  // namespace bundler
