#include "launcher/option_paths.h"

#include "launcher/Launcher.h"
#include "launcher/text.h"
#include "platform/file_manager.h"

namespace qmk::config {

namespace {
constexpr std::string_view kAppPackage = "$APP_PACKAGE";
}

std::string expandTilde(std::string_view text, const std::string& home) {
  return qmk::replaceAll(text, "~", home);
}

std::string expandConfiguredPath(std::string_view text, const std::string& bundlePath,
                                 const std::string& home) {
  // The "~" of each configured piece is replaced before the bundle path joins them, so the
  // bundle path is never scanned for "~".
  std::string result;
  size_t start = 0;
  for (size_t hit = text.find(kAppPackage); hit != std::string_view::npos;
       hit = text.find(kAppPackage, start)) {
    result.append(expandTilde(text.substr(start, hit - start), home));
    result.append(bundlePath);
    start = hit + kAppPackage.size();
  }
  result.append(expandTilde(text.substr(start), home));
  return result;
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
