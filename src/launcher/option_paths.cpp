#include "launcher/option_paths.h"

#include "launcher/Launcher.h"
#include "launcher/text.h"
#include "platform/file_manager.h"

namespace qmk::config {

namespace {
constexpr std::string_view kAppPackage = "$APP_PACKAGE";
}

std::string expandConfiguredPath(std::string_view text, const std::string& bundlePath,
                                 const std::string& home) {
  return expandConfiguredPath(qmk::MarkedText(text), bundlePath, home);
}

std::string expandConfiguredPath(qmk::MarkedText text, const std::string& bundlePath,
                                 const std::string& home) {
  // The bundle path goes in kept, so it is never scanned for "~".
  text.replaceOutsideKept(kAppPackage, bundlePath, qmk::MarkedText::Inserted::Kept);
  text.replaceOutsideKept("~", home);
  return text.text();
}

std::string_view stripIncludeQuotes(std::string_view path) {
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
    return path.substr(1, path.size() - 2);
  }
  return path;
}

std::string openablePath(const Launcher& launcher, const std::string& path) {
  const auto& workingDirectory = launcher.processSettings().workingDirectory;
  if (launcher.context().applyProcessSettings || !workingDirectory || path.starts_with('/')) {
    return path;
  }
  return platform::joinPath(*workingDirectory, path);
}

}  // namespace qmk::config
