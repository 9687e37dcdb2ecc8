// The startup cache decision: whether a start uses an archive, creates one, or goes without, and
// the options that say so to the runtime.
#include "launcher/startup_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/file_manager.h"
#include "platform/format.h"

namespace qmk::cache {
namespace {

constexpr const char* kProductFolder = "quillmark";
// Part of every key: a change in how archives are made must not meet archives made otherwise.
constexpr std::string_view kScheme = "class-list archive 1";
// Runtimes before this one have no application class-data archive this launcher can use.
constexpr int32_t kFirstCachingRuntime = 13;
// From this runtime on, the archive also keeps classes linked ahead of time.
constexpr int32_t kFirstLinkingRuntime = 25;

// The runtime's own lines about archives (a stale archive is reported on standard error by
// some runtimes) are not the application's output.
const std::vector<std::string> kQuietOptions = {"-Xshare:auto", "-Xlog:cds=off",
                                                "-Xlog:cds+dynamic=off"};
const std::vector<std::string> kQuietLinkingOptions = {"-Xlog:aot=off"};

// Options with which the application manages class-data sharing itself.
constexpr std::string_view kOwnSharingOptions[] = {
    "-Xshare:",          "-XX:SharedArchiveFile",     "-XX:ArchiveClassesAtExit",
    "-XX:SharedClassListFile", "-XX:DumpLoadedClassList", "-XX:+AutoCreateSharedArchive",
    "-XX:AOT",           "-XX:+RecordDynamicDumpInfo", "-XX:-UseSharedSpaces",
    "-XX:+UseSharedSpaces"};
constexpr std::string_view kModulePathOptions[] = {"-p", "--module-path", "--upgrade-module-path"};
constexpr std::string_view kClassPathOptions[] = {"-cp", "-classpath", "--class-path"};
constexpr std::string_view kClassPathProperty = "-Djava.class.path=";

// A 128-bit digest made of two FNV-1a lanes. It names cache files, nothing more: it needs to
// tell different inputs apart, not to resist anyone.
class Digest {
 public:
  // Every part is framed by its length, so that parts cannot run into each other.
  Digest& add(std::string_view part) {
    addBytes(std::to_string(part.size()) + ":");
    addBytes(part);
    return *this;
  }
  Digest& add(int64_t number) { return add(std::to_string(number)); }
  std::string hex(size_t lanes = 2) const {
    std::string text = platform::format("%016llx", static_cast<unsigned long long>(a_));
    if (lanes > 1) text += platform::format("%016llx", static_cast<unsigned long long>(b_));
    return text;
  }

 private:
  void addBytes(std::string_view bytes) {
    for (unsigned char c : bytes) {
      a_ = (a_ ^ c) * kPrime;
      b_ = (b_ ^ static_cast<unsigned char>(c + 0x5b)) * kPrime;
    }
  }
  static constexpr uint64_t kPrime = 0x100000001b3ULL;
  uint64_t a_ = 0xcbf29ce484222325ULL;
  uint64_t b_ = 0x84222325cbf29ce4ULL;
};

struct Refusal {
  std::string reason;
};

bool startsWithAny(const std::string& text, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](std::string_view p) { return text.starts_with(p); });
}

template <size_t N>
bool isOneOf(const std::string& text, const std::string_view (&names)[N]) {
  return std::find(std::begin(names), std::end(names), text) != std::end(names);
}

// What the VM options say about the class path, or why the application cannot be cached.
struct ClassPathReading {
  std::optional<std::string> classPath;
  std::vector<std::string> dumpOptions;  // options that shape the archive's layout
  std::optional<Refusal> refusal;
};

ClassPathReading readVmOptions(const std::vector<std::string>& options) {
  ClassPathReading reading;
  for (size_t i = 0; i < options.size(); i++) {
    const std::string& option = options[i];
    const bool hasNext = i + 1 < options.size();
    if (option.starts_with('@')) {
      reading.refusal = Refusal{"the VM options name an argument file, whose class path the "
                                "launcher cannot see"};
    } else if (isOneOf(option, kModulePathOptions) || option.starts_with("--module-path=") ||
               option.starts_with("--upgrade-module-path=")) {
      reading.refusal = Refusal{"the application runs from a module path"};
    } else if (std::any_of(std::begin(kOwnSharingOptions), std::end(kOwnSharingOptions),
                           [&](std::string_view p) { return option.starts_with(p); })) {
      reading.refusal = Refusal{"the VM options manage class-data sharing themselves (" +
                                option + ")"};
    } else if (option.starts_with(kClassPathProperty)) {
      reading.classPath = option.substr(kClassPathProperty.size());
    } else if (option.starts_with("--class-path=")) {
      reading.classPath = option.substr(std::strlen("--class-path="));
    } else if (isOneOf(option, kClassPathOptions) && hasNext) {
      reading.classPath = options[++i];
    } else if (startsWithAny(option, {"-XX:", "-Xmx", "-Xms"})) {
      reading.dumpOptions.push_back(option);
    }
    if (reading.refusal) return reading;
  }
  if (!reading.classPath || reading.classPath->empty()) {
    reading.refusal = Refusal{"the application has no class path of archives"};
  }
  return reading;
}

// Every part between separators, the empty ones too; none for an empty text.
std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  while (true) {
    const size_t end = text.find(separator);
    parts.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

// Not through the C++ streams: they would bring their locale machinery into every start.
std::string readWholeFile(const std::string& path) {
  return platform::FileManager().readFile(path).value_or("(absent)");
}

void addIdentity(Digest& digest, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    digest.add(path).add("(absent)");
    return;
  }
  digest.add(path).add(static_cast<int64_t>(st.st_size)).add(st.st_mtim.tv_sec).add(
      st.st_mtim.tv_nsec);
}

// Adds the identity of every class-path entry; refuses entries the runtime cannot archive.
std::optional<Refusal> addClassPath(Digest& digest, const std::string& classPath) {
  std::error_code error;
  for (std::string entry : split(classPath, ':')) {
    if (entry.empty()) entry = ".";
    if (entry == "*" || entry.ends_with("/*")) {
      // The runtime library expands these to the directory's archives.
      std::string directory = entry.size() == 1 ? "." : entry.substr(0, entry.size() - 2);
      std::vector<std::string> jars;
      for (const auto& file : std::filesystem::directory_iterator(directory, error)) {
        std::string name = file.path().filename().string();
        if (name.ends_with(".jar") || name.ends_with(".JAR")) jars.push_back(file.path());
      }
      std::sort(jars.begin(), jars.end());
      digest.add(entry).add(static_cast<int64_t>(jars.size()));
      for (const auto& jar : jars) addIdentity(digest, jar);
      continue;
    }
    if (std::filesystem::is_directory(entry, error)) {
      return Refusal{"class-path entry " + entry +
                     " is a directory of classes, which the runtime cannot archive"};
    }
    addIdentity(digest, entry);
  }
  return std::nullopt;
}

// Other virtual machines name themselves in the release file; they know none of the options
// used here, and some would refuse to start on them.
bool isHotSpot(const std::string& release) {
  const std::string_view field = "JVM_VARIANT=";
  size_t at = release.find(field);
  if (at == std::string::npos || (at > 0 && release[at - 1] != '\n')) return true;
  std::string value = release.substr(at + field.size(), release.find('\n', at) - at - field.size());
  std::erase(value, '"');
  std::transform(value.begin(), value.end(), value.begin(), ::tolower);
  return value.starts_with("hotspot");
}

std::string libjvmPath(const std::string& home) {
  for (const char* variant : {"server", "client", "minimal", "zero"}) {
    std::string path = home + "/lib/" + variant + "/libjvm.so";
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return home + "/lib/server/libjvm.so";
}

// The application's folder: its identifier when that is a usable file name, else a digest of
// its bundle path.
std::string applicationFolder(const CacheInputs& in) {
  std::optional<std::string> identifier = (*in.info)["CFBundleIdentifier"].stringValue();
  if (identifier && !identifier->empty() && *identifier != "." && *identifier != ".." &&
      identifier->find('/') == std::string::npos && identifier->size() <= 200) {
    return *identifier;
  }
  return "bundle-" + Digest().add(in.bundlePath).hex(1);
}

std::string cacheRoot(const CacheInputs& in) {
  // Relative values are to be ignored, as if the variable were not set.
  if (in.xdgCacheHome && in.xdgCacheHome->starts_with('/')) return *in.xdgCacheHome;
  return in.homeDirectory + "/.cache";
}

// Stand-ins live beside the archives unless the folder's own name would be encoded in a file
// URL (an identifier such as "local.My App"); then in a folder of their own named by a digest.
std::string standInBase(const CacheInputs& in, const std::string& directory) {
  if (spelledAsIsInFileUrl(directory)) return directory;
  return cacheRoot(in) + "/" + kProductFolder + "/stand-ins-" +
         Digest().add(applicationFolder(in)).hex(1);
}

std::optional<Refusal> makeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0) return std::nullopt;
  struct stat st {};
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::nullopt;
  return Refusal{"the cache folder " + path + " cannot be created (" + std::strerror(errno) +
                 ")"};
}

std::optional<Refusal> makeCacheFolder(const std::string& root, const std::string& folder) {
  const std::string product = root + "/" + kProductFolder;
  for (const std::string& path : {root, product, product + "/" + folder}) {
    if (auto refusal = makeFolder(path)) return refusal;
  }
  return std::nullopt;
}

std::string uniqueSuffix() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return platform::format("%d-%lld%09ld", static_cast<int>(getpid()),
                          static_cast<long long>(now.tv_sec), now.tv_nsec);
}

// Creates the file the start records its classes into; it proves the folder writable, too.
std::optional<Refusal> createClassList(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return Refusal{"the cache folder cannot be written (" + std::string(std::strerror(errno)) +
                   ")"};
  }
  close(fd);
  return std::nullopt;
}

CacheDecision none(std::string reason) { return CacheDecision{{}, "none: " + reason, {}}; }

std::vector<std::string> quietOptions(int32_t major) {
  std::vector<std::string> options = kQuietOptions;
  if (major >= kFirstLinkingRuntime) {
    options.insert(options.end(), kQuietLinkingOptions.begin(), kQuietLinkingOptions.end());
  }
  return options;
}

std::vector<std::string> dumpCommand(const CacheInputs& in, const ClassPathReading& reading,
                                     const std::string& classPath, const std::string& classList,
                                     const std::string& archive) {
  std::vector<std::string> command = {in.runtimeHome + "/bin/java", "-Xshare:dump"};
  if (in.javaMajorVersion >= kFirstLinkingRuntime) command.push_back("-XX:+AOTClassLinking");
  command.push_back("-XX:SharedClassListFile=" + classList);
  command.push_back("-XX:SharedArchiveFile=" + archive);
  command.push_back(std::string(kClassPathProperty) + classPath);
  command.insert(command.end(), reading.dumpOptions.begin(), reading.dumpOptions.end());
  return command;
}

}  // namespace

bool startupCacheRequested(const plist::Value& info) {
  // The platform's boolean reading already gives false for containers and absent values.
  return info[kStartupCacheKey].boolValue();
}

CacheDecision decideStartupCache(const CacheInputs& in) {
  if (!startupCacheRequested(*in.info)) return CacheDecision{{}, "off", {}};
  if (in.javaMajorVersion < kFirstCachingRuntime) {
    return none(platform::format("runtime version %d keeps no application classes",
                                 static_cast<int>(in.javaMajorVersion)));
  }
  ClassPathReading reading = readVmOptions(in.vmOptions);
  if (reading.refusal) return none(reading.refusal->reason);

  std::error_code error;
  std::filesystem::path home = std::filesystem::canonical(in.runtimeHome, error);
  if (error) return none("the runtime home " + in.runtimeHome + " cannot be resolved");
  const std::string runtimeTag = Digest().add(home.string()).hex(1);

  const std::string release = readWholeFile(home / "release");
  if (!isHotSpot(release)) return none("the runtime's virtual machine keeps no class archives");
  Digest key;
  key.add(kScheme).add(home.string()).add(release);
  addIdentity(key, libjvmPath(home));
  key.add(static_cast<int64_t>(in.launchVector.size()));
  for (const auto& element : in.launchVector) key.add(element);
  key.add(in.javaToolOptions.value_or("(absent)"));
  if (auto refusal = addClassPath(key, *reading.classPath)) return none(refusal->reason);

  const std::string directory =
      cacheRoot(in) + "/" + kProductFolder + "/" + applicationFolder(in);
  const std::string keyText = key.hex();
  const std::string base = standInBase(in, directory);
  std::optional<StandIns> standIns = planStandIns(standInFolder(base, runtimeTag, keyText),
                                                  *reading.classPath, in.javaMajorVersion);
  std::vector<std::string> options = quietOptions(in.javaMajorVersion);
  std::optional<std::string> archive = findArchive(directory, runtimeTag, keyText, in.prepare);
  // Without its stand-ins the archive would be mapped but none of its classes used.
  if (archive && (!standIns || standInsInPlace(*standIns))) {
    options.insert(options.begin(), "-XX:SharedArchiveFile=" + *archive);
    return CacheDecision{options, "using the class archive " + *archive, {}};
  }
  if (!in.prepare) {
    return CacheDecision{{}, "no archive yet: the next start records one in " + directory, {}};
  }

  if (auto refusal = makeCacheFolder(cacheRoot(in), applicationFolder(in))) {
    return none(refusal->reason);
  }
  const std::string stem = directory + "/" + runtimeTag + "-" + keyText + "." + uniqueSuffix();
  CacheBuild build;
  build.directory = directory;
  build.classList = stem + ".classlist";
  build.temporaryArchive = stem + ".jsa.part";
  build.runtimeTag = runtimeTag;
  build.key = keyText;
  if (auto refusal = createClassList(build.classList)) return none(refusal->reason);
  build.dumpCommand =
      dumpCommand(in, reading, standIns ? standIns->dumpClassPath : *reading.classPath,
                  build.classList, build.temporaryArchive);
  build.standIns = std::move(standIns);
  build.standInBase = base;
  options.insert(options.begin(), "-XX:DumpLoadedClassList=" + build.classList);
  std::string reason = "creating: this start records its classes in " + build.classList +
                       "; an archive" +
                       (in.javaMajorVersion >= kFirstLinkingRuntime ? " with linked classes" : "") +
                       " is built from them once it has ended";
  return CacheDecision{options, reason, build};
}

}  // namespace qmk::cache
