// Writing a whole buffer to a descriptor: short writes continue and writes interrupted by a
// signal are retried.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace platform {

// False (errno set by the failed write) when the descriptor takes no more: a closed pipe, a
// full disk.
inline bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

inline bool writeAll(int fd, std::string_view text) {
  return writeAll(fd, text.data(), text.size());
}

}  // namespace platform
