// An advisory lock (flock) on a lock file, held for the life of the object. Other processes of
// ours that take the same lock wait, or learn that it is taken; a process that dies lets go.
#pragma once

#include <fcntl.h>
#include <sys/file.h>

#include <string>

#include "platform/unique_fd.h"

namespace platform {

class FileLock {
 public:
  enum class Wait { kYes, kNo };

  // Creates the lock file when missing (mode 0600). held() is false when it cannot be opened,
  // or with Wait::kNo when another process holds it.
  FileLock(const std::string& path, Wait wait)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    if (!fd_) return;
    const int operation = wait == Wait::kYes ? LOCK_EX : LOCK_EX | LOCK_NB;
    int result;
    while ((result = ::flock(fd_.get(), operation)) != 0 && errno == EINTR) {
    }
    held_ = result == 0;
  }

  bool held() const { return held_; }

 private:
  UniqueFd fd_;
  bool held_ = false;
};

}  // namespace platform
