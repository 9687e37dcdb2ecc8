#include "bundler/staged_output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bundler/failure.h"
#include "platform/file_manager.h"
#include "platform/write_all.h"

namespace bundler {

namespace {

std::string parentOf(const std::string& path) {
  std::string parent = platform::deletingLastPathComponent(path);
  return parent.empty() ? "." : parent;
}

// A hidden unique sibling name of `path`, for a directory (mkdtemp) or a file (mkstemp).
std::string siblingTemplate(const std::string& path, const char* purpose) {
  return platform::joinPath(parentOf(path),
                            "." + platform::lastPathComponent(path) + "." + purpose + "-XXXXXX");
}

}  // namespace

bool pathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

StagedOutput::StagedOutput(std::string finalPath, bool force)
    : final_(std::move(finalPath)), force_(force) {
  while (final_.size() > 1 && final_.ends_with("/")) final_.pop_back();
  if (pathExists(final_) && !force_) {
    throw Failure(final_ + " exists already. Remove it, choose another --out, or pass --force " +
                  "to replace it.");
  }
  parents_.emplace(parentOf(final_));
  staging_.emplace(final_);
}

void StagedOutput::commit() {
  std::optional<PartialFolder> old;
  if (pathExists(final_)) {
    if (!force_) throw Failure(final_ + " appeared while it was being made; nothing was replaced.");
    old.emplace(PartialFolder::setAside(final_, final_));
  }
  if (!staging_->moveTo(final_)) {
    const std::string reason = std::strerror(errno);
    if (old) old->moveTo(final_);
    throw Failure("cannot move the finished output to " + final_ + ": " + reason + ".");
  }
  parents_->keep();
  // `old` goes away here, and the replaced output with it.
}

void writeFileAtomically(const std::string& path, const std::string& content, int mode) {
  std::string name = siblingTemplate(path, "partial");
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    throw Failure("cannot write " + path + ": " + std::strerror(errno) + ".");
  }
  const bool written = platform::writeAll(fd, content.data(), content.size()) &&
                       ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(name.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(name.c_str());
    throw Failure("cannot write " + path + ": " + reason + ".");
  }
}

}  // namespace bundler
