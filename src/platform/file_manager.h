// The few file operations the launchers use, over std::filesystem. Nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

class FileManager {
 public:
  // Whether something exists at `path`, following symbolic links.
  bool fileExists(const std::string& path) const;
  bool fileExists(const std::string& path, bool* isDirectory) const;
  bool isDirectory(const std::string& path) const;
  bool isRegularFile(const std::string& path) const;
  // The names in a directory (not "." or ".."), sorted by their bytes so that every listing is
  // stable; absent when the directory cannot be listed.
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;
  // Creates a directory (and its parents when `intermediates`). False when it cannot, or when it
  // exists already and `intermediates` is false. `error` receives the reason.
  bool createDirectory(const std::string& path, bool intermediates,
                       std::string* error = nullptr) const;
  // Removes a file, a link, or a directory with everything in it.
  bool removeItem(const std::string& path) const;
  // Removes `path` only when it is a regular file or a symbolic link (the link, not its target).
  bool removeFile(const std::string& path) const;
  bool changeCurrentDirectory(const std::string& path) const;
  std::string currentDirectory() const;
  // The whole content of a regular file; absent when it is missing, not a regular file or
  // unreadable.
  std::optional<std::string> readFile(const std::string& path) const;
  // The same, but also absent when the content is not valid UTF-8.
  std::optional<std::string> readUtf8File(const std::string& path) const;
};

// Path helpers with the platform's rules.
// Joins with exactly one "/" between the parts (an empty part adds nothing).
std::string joinPath(const std::string& a, const std::string& b);
// Everything before the last component ("/" for "/x"; "" for a bare name).
std::string deletingLastPathComponent(const std::string& path);
std::string lastPathComponent(const std::string& path);
// Absolute means it begins with "/" or "~".
bool isAbsolutePath(const std::string& path);
// An absolute form of `path`, against the current directory as it is now; unchanged when
// already absolute. An empty path names nothing and stays empty (not the current directory).
std::string absolutePath(const std::string& path);
// The user's home directory ($HOME, else the password database).
std::string homeDirectory();
// The user's temporary directory ($TMPDIR or /tmp), always ending in "/".
std::string temporaryDirectory();
// A new directory with a unique name under temporaryDirectory(), mode 0700; absent on failure.
std::optional<std::string> createUniqueDirectory(const std::string& prefix);

bool isValidUtf8(const std::string& bytes);

// The rest of the open file `fd`, whose size was `expectedSize` when it was looked at (0 when
// unknown, as for the kernel's own files); absent with errno set when a read fails.
std::optional<std::string> readToEnd(int fd, size_t expectedSize);

}  // namespace platform
