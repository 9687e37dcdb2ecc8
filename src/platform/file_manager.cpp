#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/unique_fd.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

std::string stripTrailingSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

}  // namespace

bool FileManager::fileExists(const std::string& path) const {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExists(const std::string& path, bool* isDirectory) const {
  struct stat st;
  bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
  if (isDirectory) *isDirectory = exists && S_ISDIR(st.st_mode);
  return exists;
}

bool FileManager::isDirectory(const std::string& path) const {
  bool directory = false;
  return fileExists(path, &directory) && directory;
}

bool FileManager::isRegularFile(const std::string& path) const {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(
    const std::string& path) const {
  // readdir directly: the launcher lists runtime and class-path directories on every start, and
  // std::filesystem builds a full path object per entry.
  if (path.empty()) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  // The names are gathered in one text and sorted as views into it: a class-path folder of a
  // few hundred archives is listed on every start, and moving strings took half the sort.
  std::string text;
  std::vector<std::pair<size_t, size_t>> spans;  // offset and length of each name in text
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    spans.emplace_back(text.size(), name.size());
    text += name;
  }
  if (errno != 0) return std::nullopt;
  std::vector<std::string_view> views;
  views.reserve(spans.size());
  for (const auto& [offset, length] : spans) views.emplace_back(text.data() + offset, length);
  // string_view compares as unsigned bytes.
  std::sort(views.begin(), views.end());
  return std::vector<std::string>(views.begin(), views.end());
}

bool FileManager::createDirectory(const std::string& path, bool intermediates,
                                  std::string* error) const {
  auto fail = [&](const std::string& reason) {
    if (error) *error = reason;
    return false;
  };
  if (path.empty()) return fail("empty path");
  if (!intermediates) {
    if (::mkdir(path.c_str(), 0777) != 0) return fail(path + ": " + std::strerror(errno));
    return true;
  }
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fail(path + ": " + ec.message());
  // create_directories is content with an existing directory, but not with a file in the way.
  if (!isDirectory(path)) return fail(path + ": " + std::strerror(ENOTDIR));
  return true;
}

bool FileManager::removeItem(const std::string& path) const {
  std::error_code ec;
  // Does not follow links: a link is removed, never what it points to.
  auto removed = fs::remove_all(path, ec);
  return !ec && removed > 0 && removed != static_cast<std::uintmax_t>(-1);
}

bool FileManager::removeFile(const std::string& path) const {
  struct stat st;
  // lstat: a symbolic link goes itself, its target stays. FIFOs, sockets and device nodes are
  // never ours to consume, so only regular files and links are removed.
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool FileManager::changeCurrentDirectory(const std::string& path) const {
  return !path.empty() && ::chdir(path.c_str()) == 0;
}

std::string FileManager::currentDirectory() const {
  std::error_code ec;
  auto current = fs::current_path(ec);
  return ec ? std::string() : current.string();
}

std::optional<std::string> FileManager::readFile(const std::string& path) const {
  // Non-blocking, so that a named pipe given for a file is refused below instead of waiting
  // for a writer forever; on a regular file the flag changes nothing.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return readToEnd(fd.get(), static_cast<size_t>(st.st_size));
}

std::optional<std::string> FileManager::readUtf8File(const std::string& path) const {
  auto content = readFile(path);
  if (!content || !isValidUtf8(*content)) return std::nullopt;
  // A byte-order mark is an encoding marker, not text.
  if (content->starts_with(kUtf8ByteOrderMark)) content->erase(0, kUtf8ByteOrderMark.size());
  return content;
}

std::string joinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  size_t end = a.size();
  while (end > 0 && a[end - 1] == '/') --end;
  size_t begin = 0;
  while (begin < b.size() && b[begin] == '/') ++begin;
  return a.substr(0, end) + "/" + b.substr(begin);
}

std::string deletingLastPathComponent(const std::string& path) {
  std::string trimmed = stripTrailingSlashes(path);
  if (trimmed == "/") return "/";
  size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return stripTrailingSlashes(trimmed.substr(0, slash));
}

std::string lastPathComponent(const std::string& path) {
  std::string trimmed = stripTrailingSlashes(path);
  if (trimmed == "/") return "/";
  size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

bool isAbsolutePath(const std::string& path) {
  return !path.empty() && (path[0] == '/' || path[0] == '~');
}

std::string absolutePath(const std::string& path) {
  if (path.empty() || isAbsolutePath(path)) return path;
  return joinPath(FileManager().currentDirectory(), path);
}

std::string homeDirectory() {
  if (const char* home = ::getenv("HOME"); home != nullptr && *home != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

std::string temporaryDirectory() {
  std::string dir = "/tmp";
  if (const char* tmp = ::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') dir = tmp;
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::optional<std::string> createUniqueDirectory(const std::string& prefix) {
  if (prefix.find('/') != std::string::npos) return std::nullopt;
  std::string pattern = temporaryDirectory() + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return std::nullopt;
  // mkdtemp already uses 0700; say so explicitly rather than rely on it.
  ::chmod(buffer.data(), 0700);
  return std::string(buffer.data());
}

std::optional<std::string> readToEnd(int fd, size_t expectedSize) {
  // Read straight into the text, sized from the file (plus room to see the end at once), and
  // grown should the file grow meanwhile.
  std::string content(expectedSize > 0 ? expectedSize + 1 : 4096, '\0');
  size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    ssize_t n = ::read(fd, content.data() + used, content.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  content.resize(used);
  return content;
}

bool isValidUtf8(const std::string& bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    auto d = utf8::decode(bytes, pos);
    if (d.codePoint == utf8::kInvalid) return false;
    pos += d.length;
  }
  return true;
}

}  // namespace platform
