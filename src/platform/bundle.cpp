// Opening bundles: where the information property list lives, the plain runtime home, and the
// bundle of a running executable.
#include "platform/bundle.h"

#include <filesystem>

#include "platform/file_manager.h"
#include "platform/process_info.h"

namespace platform {

namespace {

constexpr const char* kContents = "Contents";
constexpr const char* kInfoPlist = "Info.plist";
constexpr const char* kReleaseFile = "release";
constexpr const char* kJavaExecutable = "bin/java";
constexpr const char* kJavaVersionKey = "JAVA_VERSION";
constexpr const char* kIdentifierKey = "CFBundleIdentifier";

// X for a program at X/Contents/MacOS/name.
std::optional<std::string> enclosingBundlePath(const std::string& program) {
  std::string directory = deletingLastPathComponent(program);
  std::string contents = deletingLastPathComponent(directory);
  if (lastPathComponent(directory) != "MacOS" || lastPathComponent(contents) != kContents) {
    return std::nullopt;
  }
  return deletingLastPathComponent(contents);
}

// `path` (absolute) and every path its links lead to in turn, the real file last; each made
// absolute without resolving its own last link. Stops at a loop's worth of links.
std::vector<std::string> linkChain(const std::string& path) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit for one lookup
  std::vector<std::string> chain;
  if (path.empty()) return chain;
  std::filesystem::path current = std::filesystem::path(path).lexically_normal();
  for (int i = 0; i <= kMaxLinks; i++) {
    chain.push_back(current.string());
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(current, ec);
    if (ec) break;
    current = (current.parent_path() / target).lexically_normal();
  }
  return chain;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The information dictionary in `file`; empty when it is missing, unreadable, malformed or not
// a dictionary, so that every key of such a bundle reads as absent. `problem` then says why.
plist::Value readInfo(const std::string& file, std::optional<std::string>& problem) {
  plist::Reading reading = plist::readFileWithReason(file);
  if (!reading.value) {
    problem = reading.reason;
  } else if (!reading.value->isDictionary()) {
    problem = "not a dictionary";
  } else {
    return std::move(*reading.value);
  }
  return plist::Value::dictionary({});
}

// One value of a release file ("KEY="value"" lines), without its quotes.
std::optional<std::string> releaseValue(const std::string& text, const std::string& key) {
  // Split by hand: string streams would pull the C++ locale machinery into every start.
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.starts_with(key + "=")) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::nullopt;
}

// A runtime home laid out without bundle structure, described by its release file.
bool looksLikePlainRuntimeHome(const std::string& path) {
  FileManager files;
  return files.isRegularFile(joinPath(path, kJavaExecutable)) &&
         files.isRegularFile(joinPath(path, kReleaseFile));
}

plist::Value plainRuntimeInfo(const std::string& path) {
  plist::Dictionary javaVM;
  auto release = FileManager().readUtf8File(joinPath(path, kReleaseFile));
  if (release) {
    if (auto version = releaseValue(*release, kJavaVersionKey)) {
      javaVM["JVMVersion"] = plist::Value::string(*version);
    }
  }
  return plist::Value::dictionary({{"JavaVM", plist::Value::dictionary(std::move(javaVM))}});
}

}  // namespace

Bundle::Bundle(std::string path, plist::Value info, bool flat, bool plainRuntimeHome)
    : path_(std::move(path)),
      info_(std::move(info)),
      flat_(flat),
      plainRuntimeHome_(plainRuntimeHome) {}

std::shared_ptr<Bundle> Bundle::create(const std::string& path) {
  if (path.empty()) return nullptr;
  std::string bundlePath = withoutTrailingSlashes(absolutePath(path));
  FileManager files;
  if (!files.isDirectory(bundlePath)) return nullptr;
  std::string contents = joinPath(bundlePath, kContents);
  std::string flatInfo = joinPath(bundlePath, kInfoPlist);
  std::shared_ptr<Bundle> bundle;
  std::optional<std::string> problem;
  std::string infoPath = flatInfo;
  if (files.isDirectory(contents)) {
    infoPath = joinPath(contents, kInfoPlist);
    bundle.reset(new Bundle(bundlePath, readInfo(infoPath, problem), false, false));
  } else if (files.fileExists(flatInfo)) {
    bundle.reset(new Bundle(bundlePath, readInfo(flatInfo, problem), true, false));
  } else if (looksLikePlainRuntimeHome(bundlePath)) {
    bundle.reset(new Bundle(bundlePath, plainRuntimeInfo(bundlePath), true, true));
  } else {
    problem = "no such file";
    bundle.reset(new Bundle(bundlePath, plist::Value::dictionary({}), true, false));
  }
  bundle->infoPath_ = std::move(infoPath);
  bundle->infoProblem_ = std::move(problem);
  return bundle;
}

std::shared_ptr<Bundle> Bundle::main() {
  // The kernel gives the running executable by its real path: no link in it is left to resolve.
  const std::string executable = executablePath();
  if (executable.empty()) return nullptr;
  // The path it was started as counts only for an executable outside a bundle: read it then.
  if (auto bundle = enclosingBundlePath(executable)) return create(*bundle);
  return forRealExecutable(startedProgramPath(), executable);
}

std::shared_ptr<Bundle> Bundle::forExecutable(const std::string& executablePath) {
  return forProgram(std::string(), executablePath);
}

std::shared_ptr<Bundle> Bundle::forProgram(const std::string& startedPath,
                                           const std::string& executablePath) {
  if (executablePath.empty()) return nullptr;
  std::error_code ec;
  std::filesystem::path real = std::filesystem::canonical(executablePath, ec);
  return forRealExecutable(startedPath, ec ? absolutePath(executablePath) : real.string());
}

std::shared_ptr<Bundle> Bundle::forRealExecutable(const std::string& startedPath,
                                                  const std::string& program) {
  if (auto bundle = enclosingBundlePath(program)) return create(*bundle);
  for (const std::string& step : linkChain(startedPath)) {
    if (auto bundle = enclosingBundlePath(step)) return create(*bundle);
  }
  return create(deletingLastPathComponent(program));
}

std::optional<std::string> Bundle::identifier() const {
  return info_[kIdentifierKey].stringValue();
}

std::string Bundle::resourcePath() const {
  return flat_ ? path_ : joinPath(path_, "Contents/Resources");
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& extension) const {
  if (name.empty()) return std::nullopt;
  std::string file = extension.empty() ? name : name + "." + extension;
  std::string path = joinPath(resourcePath(), file);
  if (!FileManager().fileExists(path)) return std::nullopt;
  return path;
}

}  // namespace platform
