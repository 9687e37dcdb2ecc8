// One update check: fetch the feed and its signature, verify, decide, download the archive while
// hashing it, extract it with the installer's hardened extractor into a hidden partial folder
// beside the bundle, check that the result is the announced bundle, sync it, and rename it to
// the staged folder. Anything refused leaves nothing behind but one line in the log.
#include "launcher/update_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "launcher/Launcher.h"
#include "launcher/UnTar.h"
#include "launcher/update_feed.h"
#include "launcher/update_log.h"
#include "launcher/update_state.h"
#include "platform/ed25519.h"
#include "platform/fetch.h"
#include "platform/file_lock.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace qmk::update {
namespace {

// The feed and its signature are small: a server that takes longer than this is not serving.
constexpr double kFeedIdleSeconds = 10;
constexpr double kFeedTotalSeconds = 20;
// The archive may be large and the link slow; only silence ends it.
constexpr double kArchiveIdleSeconds = 30;
constexpr const char* kArchiveFile = "archive.tar.gz";

struct Refusal {
  std::string reason;
};

// A folder removed with everything in it when the object goes, unless it was kept.
class PartialFolder {
 public:
  explicit PartialFolder(std::string path) : path_(std::move(path)) {}
  ~PartialFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  PartialFolder(const PartialFolder&) = delete;
  PartialFolder& operator=(const PartialFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string folderOf(const std::string& bundlePath) {
  std::string folder = platform::deletingLastPathComponent(bundlePath);
  return folder.empty() ? "." : folder;
}

std::string nameOf(const std::string& bundlePath) {
  return platform::lastPathComponent(bundlePath);
}

// Partial folders are made only under the check lock, so any found while holding it were left
// by a checker that was killed.
void removeLeftovers(const std::string& bundlePath) {
  const std::string prefix = partialFolderPrefix(bundlePath);
  const std::string folder = folderOf(bundlePath);
  auto names = platform::FileManager().contentsOfDirectory(folder);
  if (!names) return;
  for (const auto& name : *names) {
    if (name.starts_with(prefix)) {
      std::error_code ignored;
      fs::remove_all(platform::joinPath(folder, name), ignored);
    }
  }
}

bool syncPath(const std::string& path, bool directory) {
  platform::UniqueFd fd(
      ::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd && ::fsync(fd.get()) == 0;
}

// Every file and folder of the tree reaches the disk before the tree is renamed into view.
bool syncTree(const std::string& root) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const auto status = it->symlink_status();
    if (fs::is_regular_file(status) && !syncPath(it->path(), false)) return false;
    if (fs::is_directory(status) && !syncPath(it->path(), true)) return false;
  }
  return !error && syncPath(root, true);
}

// Where a link found at `linkDir` (relative to the root) leads, lexically; absent when it
// leaves the root.
bool linkStaysInside(const std::string& linkDirRelative, const std::string& target) {
  if (target.empty() || target[0] == '/') return false;
  std::vector<std::string> parts;
  auto walk = [&](const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string part = path.substr(start, end - start);
      start = end + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (parts.empty()) return false;
        parts.pop_back();
      } else {
        parts.push_back(part);
      }
    }
    return true;
  };
  return walk(linkDirRelative) && walk(target);
}

// The extracted tree holds only folders, regular files and links that stay inside it.
std::optional<Refusal> checkTree(const std::string& root) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const auto status = it->symlink_status();
    const std::string relative = fs::relative(it->path(), root).string();
    if (fs::is_symlink(status)) {
      const std::string target = fs::read_symlink(it->path(), error).string();
      const std::string parent = fs::path(relative).parent_path().string();
      if (error || !linkStaysInside(parent, target)) {
        return Refusal{"the archive holds a link leading out of the bundle: " + relative + " -> " +
                       target};
      }
    } else if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
      return Refusal{"the archive holds something that is neither file nor folder: " + relative};
    }
  }
  if (error) return Refusal{"the extracted bundle cannot be read: " + error.message()};
  return std::nullopt;
}

// The extracted tree must be the announced bundle: same application, announced version, and a
// launcher that can run.
std::optional<Refusal> checkBundle(const std::string& root, const UpdateSettings& settings,
                                   const Feed& feed) {
  auto info = plist::readFile(platform::joinPath(root, "Contents/Info.plist"));
  if (!info || !info->isDictionary()) {
    return Refusal{"the archive is not a bundle: it has no readable Contents/Info.plist"};
  }
  const auto identifier = (*info)["CFBundleIdentifier"].stringValue();
  if (identifier != settings.identifier) {
    return Refusal{"the archive holds the bundle of " + identifier.value_or("(no identifier)") +
                   ", not " + settings.identifier};
  }
  const auto version = (*info)["CFBundleShortVersionString"].stringValue();
  if (version != feed.version) {
    return Refusal{"the archive holds version " + version.value_or("(none)") + ", not the " +
                   "announced " + feed.version};
  }
  const auto executable = (*info)["CFBundleExecutable"].stringValue();
  if (!executable || executable->empty() || executable->find('/') != std::string::npos) {
    return Refusal{"the archive's bundle names no launcher (CFBundleExecutable)"};
  }
  const std::string launcher = platform::joinPath(root, "Contents/MacOS/" + *executable);
  struct stat st {};
  if (::lstat(launcher.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0) {
    return Refusal{"the archive's bundle has no executable launcher Contents/MacOS/" + *executable};
  }
  return std::nullopt;
}

bool isNewer(const std::string& a, const std::string& b) {
  return Launcher::compareVersion(a, b) > 0;
}

class Check {
 public:
  Check(const UpdateSettings& settings, std::string stateDir)
      : settings_(settings), stateDir_(std::move(stateDir)) {}

  CheckResult run() {
    auto key = platform::ed25519::publicKeyFromText(settings_.publicKey);
    if (!key) return refused("qmk.updateKey is not the base64 text of a 32-byte public key");
    if (settings_.version.empty()) {
      return refused("the bundle has no CFBundleShortVersionString to compare versions with");
    }
    auto feedText = platform::fetchText(
        {settings_.feedUrl, kMaxFeedBytes, kFeedIdleSeconds, kFeedTotalSeconds});
    if (!feedText.content) return refused("the feed could not be fetched: " + feedText.failure);
    auto signatureText = platform::fetchText(
        {settings_.feedUrl + ".sig", kMaxSignatureBytes, kFeedIdleSeconds, kFeedTotalSeconds});
    if (!signatureText.content) {
      return refused("the feed's signature could not be fetched: " + signatureText.failure);
    }
    if (auto refusal = verify(*key, *feedText.content, *signatureText.content)) {
      return refused(refusal->reason);
    }
    FeedReading reading = readFeed(*feedText.content);
    if (!reading.feed) return refused(reading.failure);
    const Feed& feed = *reading.feed;
    if (auto refusal = judge(feed)) return refused(refusal->reason);
    return stage(feed);
  }

 private:
  CheckResult refused(const std::string& reason) const { return {CheckOutcome::kRefused, reason}; }

  static std::optional<Refusal> verify(const platform::ed25519::PublicKey& key,
                                       const std::string& feed, std::string signatureText) {
    // One line; a final line break is allowed.
    if (signatureText.ends_with("\n")) signatureText.pop_back();
    if (signatureText.ends_with("\r")) signatureText.pop_back();
    auto signature = platform::ed25519::signatureFromText(signatureText);
    if (!signature) return Refusal{"the feed's signature is not the base64 text of 64 bytes"};
    if (!platform::ed25519::verify(key, feed, *signature)) {
      return Refusal{"the feed's signature does not match the feed and the bundle's key"};
    }
    return std::nullopt;
  }

  std::optional<Refusal> judge(const Feed& feed) const {
    if (feed.identifier != settings_.identifier) {
      return Refusal{"the feed is for " + feed.identifier + ", not " + settings_.identifier};
    }
    if (!isNewer(feed.version, settings_.version)) {
      return Refusal{"nothing new: the feed offers " + feed.version + ", the bundle is " +
                     settings_.version};
    }
    const UpdateState state = readState(stateDir_);
    if (std::find(state.badVersions.begin(), state.badVersions.end(), feed.version) !=
        state.badVersions.end()) {
      return Refusal{"version " + feed.version + " was found unable to start"};
    }
    if (state.stagedVersion && !isNewer(feed.version, *state.stagedVersion)) {
      return Refusal{"nothing new: the feed offers " + feed.version + ", and " +
                     *state.stagedVersion + " was staged before"};
    }
    const int64_t now = ::time(nullptr);
    if (feed.expires <= now) {
      return Refusal{"the feed expired at " + formatTimestamp(feed.expires)};
    }
    return std::nullopt;
  }

  CheckResult stage(const Feed& feed) {
    const std::string bundle = settings_.bundlePath;
    PartialFolder partial(platform::joinPath(
        folderOf(bundle), partialFolderPrefix(bundle) + std::to_string(::getpid())));
    if (::mkdir(partial.path().c_str(), 0700) != 0) {
      return refused("no partial folder could be made beside the bundle: " +
                     std::string(std::strerror(errno)));
    }
    const std::string archive = platform::joinPath(partial.path(), kArchiveFile);
    if (auto refusal = download(feed, archive)) return refused(refusal->reason);
    const std::string tree = platform::joinPath(partial.path(), nameOf(bundle));
    if (auto refusal = extract(archive, tree, feed)) return refused(refusal->reason);
    ::unlink(archive.c_str());
    if (auto refusal = checkTree(tree)) return refused(refusal->reason);
    if (auto refusal = checkBundle(tree, settings_, feed)) return refused(refusal->reason);
    if (!syncTree(tree)) return refused("the new version could not be written to disk");
    if (auto refusal = moveIntoPlace(tree)) return refused(refusal->reason);
    changeState(stateDir_, [&](UpdateState& state) { state.stagedVersion = feed.version; });
    return {CheckOutcome::kStaged, "staged " + feed.version + " as " + stagedBundlePath(bundle)};
  }

  std::optional<Refusal> download(const Feed& feed, const std::string& path) const {
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
      return Refusal{"the archive could not be stored: " + std::string(std::strerror(errno))};
    platform::Sha256 hash;
    uint64_t received = 0;
    const std::string url = archiveUrl(settings_.feedUrl, feed.archive);
    auto failure =
        platform::fetch({url, feed.size, kArchiveIdleSeconds, 0}, [&](std::string_view piece) {
          hash.update(piece.data(), piece.size());
          received += piece.size();
          return platform::writeAll(fd.get(), piece.data(), piece.size());
        });
    if (failure) return Refusal{"the archive could not be downloaded: " + *failure};
    if (!fd.close()) return Refusal{"the archive could not be stored"};
    if (received != feed.size) {
      return Refusal{"the archive has " + std::to_string(received) + " bytes, not the announced " +
                     std::to_string(feed.size)};
    }
    const platform::Sha256Digest digest = hash.finish();
    if (digest != feed.sha256) {
      return Refusal{"the archive's SHA-256 digest is " + platform::toHex(digest) +
                     ", not the announced " + platform::toHex(feed.sha256)};
    }
    return std::nullopt;
  }

  static std::optional<Refusal> extract(const std::string& archive, const std::string& tree,
                                        const Feed& feed) {
    if (::mkdir(tree.c_str(), 0755) != 0) return Refusal{"the new version has no folder to go in"};
    const auto length = static_cast<int32_t>(std::min<uint64_t>(feed.size, INT32_MAX));
    UnTar::Result result = UnTar::untar(archive, tree, length, {});
    if (!result.complete) return Refusal{"the archive cannot be extracted: " + result.failure};
    if (result.unsafeEntries > 0) {
      return Refusal{"the archive holds entries that lead outside the bundle"};
    }
    return std::nullopt;
  }

  std::optional<Refusal> moveIntoPlace(const std::string& tree) const {
    platform::FileLock lock(platform::joinPath(stateDir_, kSwitchLock),
                            platform::FileLock::Wait::kYes);
    if (!lock.held()) return Refusal{"the switch lock cannot be had"};
    const std::string staged = stagedBundlePath(settings_.bundlePath);
    // What waits there is older than this version (the feed was judged newer than anything
    // staged), or was left by a lost state.
    std::error_code error;
    fs::remove_all(staged, error);
    if (::rename(tree.c_str(), staged.c_str()) != 0) {
      return Refusal{"the new version could not be moved beside the bundle: " +
                     std::string(std::strerror(errno))};
    }
    syncPath(folderOf(settings_.bundlePath), true);
    return std::nullopt;
  }

  const UpdateSettings& settings_;
  std::string stateDir_;
};

void log(const std::string& stateDir, const UpdateSettings& settings, const CheckResult& result) {
  const char* what = result.outcome == CheckOutcome::kStaged ? "staged" : "refused";
  appendUpdateLog(stateDir, settings.feedUrl + ": " + what + ": " + result.message);
}

}  // namespace

CheckResult runUpdateCheck(const UpdateSettings& settings, CheckMode mode) {
  const std::string stateDir = stateDirectory(settings.identifier);
  std::string why;
  if (stateDir.empty()) {
    return {CheckOutcome::kFailed,
            "the bundle's identifier (CFBundleIdentifier) cannot name a "
            "state folder"};
  }
  if (!platform::FileManager().createDirectory(stateDir, true, &why)) {
    return {CheckOutcome::kFailed, "the state folder cannot be made: " + why};
  }
  platform::FileLock checkLock(platform::joinPath(stateDir, kCheckLock),
                               platform::FileLock::Wait::kNo);
  if (!checkLock.held()) return {CheckOutcome::kBusy, "another check is running"};
  const int64_t now = ::time(nullptr);
  if (mode == CheckMode::kScheduled) {
    const auto last = readState(stateDir).lastCheck;
    if (last && *last <= now && now - *last < settings.interval) {
      return {CheckOutcome::kNotDue, "checked at " + formatTimestamp(*last)};
    }
  }
  // Recorded first: a check that hangs or is killed must not have every start try again.
  changeState(stateDir, [&](UpdateState& state) { state.lastCheck = now; });
  CheckResult result;
  try {
    removeLeftovers(settings.bundlePath);
    result = Check(settings, stateDir).run();
  } catch (const std::exception& e) {
    // Out of memory, a file system that fails under the walk: nothing is staged (the partial
    // folder has gone with the unwinding), and the next check starts afresh.
    result = {CheckOutcome::kRefused, std::string("the check failed: ") + e.what()};
  }
  log(stateDir, settings, result);
  return result;
}

}  // namespace qmk::update
