#include "launcher/update_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "launcher/update_feed.h"
#include "launcher/update_state.h"
#include "platform/file_manager.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace qmk::update {
namespace {

// Past this the older half goes, so the file never reaches 1 MiB.
constexpr off_t kTrimAt = 512 * 1024;
constexpr off_t kKeep = 256 * 1024;
constexpr size_t kMaxLine = 4096;

// Keeps the last kKeep bytes from a line start, replacing the file atomically.
void trim(const std::string& path) {
  platform::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in) return;
  std::string tail(static_cast<size_t>(kKeep), '\0');
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return;
  const ssize_t n = ::pread(in.get(), tail.data(), tail.size(), st.st_size - kKeep);
  if (n <= 0) return;
  tail.resize(static_cast<size_t>(n));
  const size_t lineStart = tail.find('\n');
  tail.erase(0, lineStart == std::string::npos ? tail.size() : lineStart + 1);
  const std::string temporary = path + ".tmp";
  platform::UniqueFd out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!out || !platform::writeAll(out.get(), tail) || !out.close() ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
  }
}

}  // namespace

void appendUpdateLog(const std::string& stateDir, const std::string& text) {
  const std::string path = platform::joinPath(stateDir, kLogFile);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && st.st_size >= kTrimAt) trim(path);
  std::string line = formatTimestamp(::time(nullptr)) + " " + text.substr(0, kMaxLine);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  platform::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd) platform::writeAll(fd.get(), line);
}

}  // namespace qmk::update
