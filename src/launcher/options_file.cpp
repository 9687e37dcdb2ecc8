// VM options files: plain text that adds VM options, edits the class path and includes further
// files, read into the option list the launch parameters are building.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/option_paths.h"
#include "platform/file_manager.h"
#include "platform/unicode.h"

namespace {

constexpr std::string_view kClassPathLine = "-classpath ";
constexpr std::string_view kPrependLine = "-classpath/p ";
constexpr std::string_view kAppendLine = "-classpath/a ";
constexpr std::string_view kIncludeLine = "-include-options ";

// Includes nested deeper than this are not a configuration anyone writes; the limit stops a
// chain of distinct files (generated, or through ever longer paths) that the cycle test misses.
constexpr size_t kMaxIncludeDepth = 64;
// Files that include the same file twice at each level multiply: twenty levels read a million
// files though none is nested deeply or repeated along its chain. One reading (a file with
// everything it includes) reads at most this many files and this much text.
constexpr size_t kMaxFilesPerReading = 1000;
constexpr size_t kMaxTextPerReading = 16 << 20;

// Lines end at CR and at LF alike, so a CR LF pair leaves an empty line between them. A NUL
// ends its line's text: nothing after it could reach the runtime, which takes C strings.
template <typename Visit>
void forEachLine(std::string_view text, Visit&& visit) {
  while (true) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    visit(line.substr(0, line.find('\0')));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// One name per file however the path spells it, so that "a/../x", "x" and a link to x make the
// same cycle: the device and file number of what it names, or the absolute path when it names
// nothing (which cannot start with "#").
std::string fileIdentity(const std::string& path, const struct stat* status) {
  if (status == nullptr) return platform::absolutePath(path);
  return "#" + std::to_string(status->st_dev) + ":" + std::to_string(status->st_ino);
}

// Takes a file off the include chain when its reading ends, however it ends.
class ChainEntry {
 public:
  ChainEntry(std::vector<std::string>& chain, std::string file) : chain_(chain) {
    chain_.push_back(std::move(file));
  }
  ~ChainEntry() { chain_.pop_back(); }
  ChainEntry(const ChainEntry&) = delete;
  ChainEntry& operator=(const ChainEntry&) = delete;

 private:
  std::vector<std::string>& chain_;
};

OptionalString prepend(std::string_view entries, const OptionalString& classPath) {
  // Nothing to prepend to: the entries alone, rather than a list ending in an empty entry.
  if (!classPath) return std::string(entries);
  return std::string(entries) + ":" + *classPath;
}

OptionalString append(const OptionalString& classPath, std::string_view entries) {
  if (!classPath) return std::string(entries);
  return *classPath + ":" + std::string(entries);
}

}  // namespace

OptionalString Launcher::readOptionsFile(const OptionalString& path,
                                         std::vector<std::string>& options,
                                         const OptionalString& classPath,
                                         const std::string& bundlePath) {
  if (!path) return classPath;
  return readResolvedOptionsFile(
      qmk::config::expandConfiguredPath(*path, bundlePath, context().homeDirectory), options,
      classPath, bundlePath);
}

OptionalString Launcher::readResolvedOptionsFile(const std::string& path,
                                                 std::vector<std::string>& options,
                                                 const OptionalString& classPath,
                                                 const std::string& bundlePath) {
  DLOG("%s [Line %d] option file %@", path);
  const std::string openPath = qmk::config::openablePath(*this, path);
  struct stat status {};
  const bool exists = ::stat(openPath.c_str(), &status) == 0;
  std::string identity = fileIdentity(openPath, exists ? &status : nullptr);
  if (std::find(includeChain_.begin(), includeChain_.end(), identity) != includeChain_.end()) {
    ALOG("%s [Line %d] options file %@ includes itself; the repeated include is skipped", path);
    return classPath;
  }
  if (includeChain_.size() >= kMaxIncludeDepth) {
    ALOG("%s [Line %d] options file %@ skipped: includes are nested more than %d deep", path,
         static_cast<int>(kMaxIncludeDepth));
    return classPath;
  }
  if (includeChain_.empty()) readingSpent_ = {};
  // The budget covers the first file as well: a file that would take the reading past it is
  // not read (nor is anything after it), and the reading says so once.
  const auto stopReading = [&] {
    if (!readingSpent_.reported) {
      ALOG(
          "%s [Line %d] options file %@ skipped, and the includes after it: one reading reads "
          "at most %d files and %d bytes",
          path, static_cast<int>(kMaxFilesPerReading), static_cast<int>(kMaxTextPerReading));
    }
    readingSpent_.reported = true;
    readingSpent_.bytes = kMaxTextPerReading;
    return classPath;
  };
  if (readingSpent_.files >= kMaxFilesPerReading || readingSpent_.bytes >= kMaxTextPerReading) {
    return stopReading();
  }
  const size_t budgetLeft = kMaxTextPerReading - readingSpent_.bytes;
  // Sized before it is read, so that an oversized file is never read whole.
  if (exists && S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) > budgetLeft) {
    return stopReading();
  }
  ++readingSpent_.files;
  auto text = platform::FileManager().readUtf8File(openPath);
  if (!text) return classPath;
  if (text->size() > budgetLeft) return stopReading();  // it grew while being sized
  readingSpent_.bytes += text->size();
  ChainEntry onChain(includeChain_, std::move(identity));

  const std::string directory = platform::deletingLastPathComponent(path);
  const std::string& home = context().homeDirectory;
  OptionalString current = classPath;
  forEachLine(*text, [&](std::string_view rawLine) {
    const std::string line = unicode::trimWhitespace(rawLine);
    DLOG("%s [Line %d] option %@", line);
    if (line.empty() || line.front() == '#') return;

    const qmk::MarkedText substituted = substituteVariables(line);
    std::string_view s = substituted.text();

    if (s.starts_with(kClassPathLine)) {
      current = std::string(s.substr(kClassPathLine.size()));
    } else if (s.starts_with(kPrependLine)) {
      current = prepend(s.substr(kPrependLine.size()), current);
    } else if (s.starts_with(kAppendLine)) {
      current = append(current, s.substr(kAppendLine.size()));
    } else if (s.starts_with(kIncludeLine)) {
      const std::string_view rest = s.substr(kIncludeLine.size());
      const std::string_view written = qmk::config::stripIncludeQuotes(rest);
      const size_t start = kIncludeLine.size() + (written.size() == rest.size() ? 0 : 1);
      // The path is substituted first, then its "~" is the home directory wherever it stands,
      // also in a value a variable inserted; only the bundle path keeps its "~".
      std::string included = qmk::config::expandConfiguredPath(
          substituted.substr(start, written.size()), bundlePath, home);
      if (!platform::isAbsolutePath(std::string(written))) {
        included = platform::joinPath(directory, included);
      }
      current = readResolvedOptionsFile(included, options, current, bundlePath);
    } else {
      options.push_back(substituted.text());
    }
  });
  return current;
}
