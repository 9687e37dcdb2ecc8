#include "bundler/output_place.h"

#include <sys/stat.h>

#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr const char* kBundleSuffix = ".app";

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.ends_with("/")) path.pop_back();
  return path;
}

}  // namespace

std::string bundlePlace(const std::optional<std::string>& out, const std::string& name) {
  const std::string bundleName = name + kBundleSuffix;
  if (!out) return platform::absolutePath(bundleName);
  if (out->empty()) throw UsageError("--out is empty; give a folder or a path ending in .app.");
  const std::string path = withoutTrailingSlashes(platform::absolutePath(*out));
  struct stat link;
  const bool present = ::lstat(path.c_str(), &link) == 0;
  struct stat target;
  const bool folder = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  if (present && !folder) {
    throw Failure("--out " + *out + " is " + (S_ISLNK(link.st_mode) ? "a link to nothing" : "a file") +
                  ", not a folder. Give a folder to put " + bundleName + " in, or the " +
                  "bundle's own path ending in .app.");
  }
  if (path.ends_with(kBundleSuffix)) return path;
  return platform::joinPath(path, bundleName);
}

}  // namespace bundler
