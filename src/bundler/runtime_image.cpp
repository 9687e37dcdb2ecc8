#include "bundler/runtime_image.h"

#include <zlib.h>

#include <filesystem>

#include "bundler/failure.h"
#include "bundler/staged_output.h"
#include "bundler/tools.h"
#include "launcher/Launcher.h"
#include "platform/file_manager.h"
#include "platform/plist.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kJlinkPrefix = "jlink";
constexpr const char* kRuntimeBundleHome = "Contents/Home";
constexpr const char* kReleaseFile = "release";

bool isRuntimeHome(const std::string& home) {
  platform::FileManager fileManager;
  return fileManager.isRegularFile(platform::joinPath(home, "bin/java")) &&
         (fileManager.fileExists(platform::joinPath(home, "lib/libjli.so")) ||
          fileManager.fileExists(platform::joinPath(home, "lib/jli/libjli.so")));
}

// A runtime bundle's home, or the path itself.
std::string homeOf(const std::string& path) {
  const std::string bundled = platform::joinPath(path, kRuntimeBundleHome);
  return platform::FileManager().isDirectory(bundled) ? bundled : path;
}

std::string featureOf(const std::string& version) {
  return version.substr(0, version.find_first_of(".+-_"));
}

// A bundle that only carries the version bounds, for asking the launcher's own search.
std::optional<std::string> searchNewestRuntime(const std::optional<std::string>& minVersion,
                                               const std::optional<std::string>& maxVersion) {
  auto dir = platform::createUniqueDirectory("qmk-bundle-search");
  if (!dir) throw Failure("cannot create a temporary directory in " + platform::temporaryDirectory());
  plist::Dictionary info;
  if (minVersion) info["qmk.minVersion"] = plist::Value::string(*minVersion);
  if (maxVersion) info["qmk.maxVersion"] = plist::Value::string(*maxVersion);
  fs::create_directories(*dir + "/Contents");
  std::optional<std::string> found;
  {
    std::error_code ignored;
    writeFileAtomically(*dir + "/Contents/Info.plist",
                        plist::toXml(plist::Value::dictionary(info)));
    LaunchContext context;
    context.mainBundle = platform::Bundle::create(*dir);
    context.homeDirectory = platform::homeDirectory();
    context.applyProcessSettings = false;
    if (context.mainBundle) {
      Launcher launcher(std::move(context));
      found = launcher.findJavaBundle(false);
    }
    fs::remove_all(*dir, ignored);
  }
  if (!found) return std::nullopt;
  return Launcher::runtimeHome(*found);
}

// Copies a runtime home, following its symbolic links (Debian's point outside the home, into
// /etc and /usr/share); links that lead nowhere are left out.
void copyHome(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  for (const auto& entry : fs::directory_iterator(from)) {
    const fs::path target = to / entry.path().filename();
    std::error_code error;
    const fs::file_status status = fs::status(entry.path(), error);
    if (error || !fs::exists(status)) continue;
    if (fs::is_directory(status)) {
      copyHome(entry.path(), target);
    } else if (fs::is_regular_file(status)) {
      fs::copy_file(entry.path(), target, error);
      if (error) {
        throw Failure("cannot copy " + entry.path().string() + " into the bundle: " +
                      error.message() + ".");
      }
    }
  }
}

void writeRuntimeInfo(const std::string& bundleDirectory, const std::string& identifier) {
  const std::string home = platform::joinPath(bundleDirectory, kRuntimeBundleHome);
  auto version = releaseVersion(home);
  if (!version) {
    throw Failure("the runtime at " + home + " has no JAVA_VERSION in its release file, so no " +
                  "launcher would accept it. Give a complete runtime home.");
  }
  plist::Dictionary info = {
      {"CFBundleIdentifier", plist::Value::string(identifier)},
      {"CFBundleName", plist::Value::string("Java runtime " + *version)},
      {"CFBundlePackageType", plist::Value::string("BNDL")},
      {"CFBundleInfoDictionaryVersion", plist::Value::string("6.0")},
      {"JavaVM", plist::Value::dictionary({{"JVMVersion", plist::Value::string(*version)}})},
  };
  writeFileAtomically(platform::joinPath(bundleDirectory, "Contents/Info.plist"),
                      plist::toXml(plist::Value::dictionary(info)));
}

}  // namespace

RuntimeChoice parseRuntimeChoice(const std::optional<std::string>& value) {
  if (!value || *value == "none") return {};
  if (value->empty()) throw UsageError("--runtime needs a value: none, jlink, jlink=JDK or a path.");
  if (*value == kJlinkPrefix) return {RuntimeChoice::Kind::kJlink, std::nullopt};
  if (value->starts_with(std::string(kJlinkPrefix) + "=")) {
    std::string jdk = value->substr(6);
    if (jdk.empty()) throw UsageError("--runtime jlink= names no JDK; give its path or just 'jlink'.");
    return {RuntimeChoice::Kind::kJlink, jdk};
  }
  return {RuntimeChoice::Kind::kCopy, *value};
}

std::optional<std::string> releaseVersion(const std::string& home) {
  auto text = platform::FileManager().readUtf8File(platform::joinPath(home, kReleaseFile));
  if (!text) return std::nullopt;
  const std::string key = "JAVA_VERSION=";
  size_t at = text->starts_with(key) ? 0 : text->find("\n" + key);
  if (at == std::string::npos) return std::nullopt;
  at = text->find('=', at) + 1;
  std::string value = text->substr(at, text->find('\n', at) - at);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return value.empty() ? std::nullopt : std::optional(value);
}

std::string findJdk(const std::optional<std::string>& given,
                    const std::optional<std::string>& minVersion,
                    const std::optional<std::string>& maxVersion) {
  std::string home;
  if (given) {
    home = homeOf(platform::absolutePath(*given));
    if (!platform::FileManager().isDirectory(home)) {
      throw Failure("the JDK " + *given + " given to --runtime jlink= does not exist. Give the " +
                    "home of an installed JDK (for example /usr/lib/jvm/java-17-openjdk-amd64).");
    }
  } else {
    auto found = searchNewestRuntime(minVersion, maxVersion);
    if (!found) {
      throw Failure("no JDK was found for --runtime jlink (searched " +
                    platform::SystemLayout::host().publicRuntimeDirectory +
                    (minVersion || maxVersion ? " within the --min-java/--max-java bounds" : "") +
                    "). Install one (Debian: openjdk-17-jdk-headless) or name it with " +
                    "--runtime jlink=/path/to/jdk.");
    }
    home = *found;
  }
  for (const char* tool : {"bin/jlink", "bin/jdeps"}) {
    if (!platform::FileManager().isRegularFile(platform::joinPath(home, tool))) {
      throw Failure("the runtime at " + home + " has no " + tool + ": it is not a JDK. " +
                    "Install a JDK (Debian: openjdk-17-jdk-headless) or name one with " +
                    "--runtime jlink=/path/to/jdk.");
    }
  }
  return home;
}

std::string moduleDependencies(const std::string& jdk, const std::vector<std::string>& jars,
                               const std::vector<std::string>& extra) {
  const std::string feature = featureOf(releaseVersion(jdk).value_or("9"));
  // --multi-release: jdeps refuses multi-release jars without it; --ignore-missing-deps: a
  // library's optional dependencies that the bundle does not ship must not stop the bundle.
  std::vector<std::string> arguments = {"--ignore-missing-deps", "--multi-release", feature,
                                        "--print-module-deps"};
  arguments.insert(arguments.end(), jars.begin(), jars.end());
  std::string out;
  {
    ProgressLine progress("finding the modules the jars need (jdeps)");
    out = runToolOrFail("jdeps", platform::joinPath(jdk, "bin/jdeps"), arguments);
  }
  std::string modules;
  for (char c : out) {
    if (c != '\n' && c != '\r' && c != ' ') modules += c;
  }
  if (modules.empty()) modules = "java.base";
  for (const auto& module : extra) modules += "," + module;
  return modules;
}

void makeRuntimeBundle(const RuntimeRequest& request, const std::string& bundleDirectory) {
  const std::string home = platform::joinPath(bundleDirectory, kRuntimeBundleHome);
  fs::create_directories(platform::joinPath(bundleDirectory, "Contents"));
  if (request.choice.kind == RuntimeChoice::Kind::kJlink) {
    const std::string jdk = findJdk(request.choice.path, request.minVersion, request.maxVersion);
    const std::string modules = moduleDependencies(jdk, request.jars, request.addModules);
    {
      ProgressLine progress("making the runtime with jlink (" + modules + ")");
      runToolOrFail("jlink", platform::joinPath(jdk, "bin/jlink"),
                    {"--add-modules", modules, "--strip-debug", "--no-header-files",
                     "--no-man-pages", "--output", home});
    }
    // jlink leaves out the runtime's default class-data archive; without it every start
    // parses the core classes afresh and a startup cache has nothing to build on.
    ProgressLine progress("writing the runtime's class-data archive");
    runTool(platform::joinPath(home, "bin/java"), {"-Xshare:dump"});
  } else {
    const std::string given = platform::absolutePath(*request.choice.path);
    const std::string from = homeOf(given);
    if (!isRuntimeHome(from)) {
      throw Failure("--runtime " + *request.choice.path + " is not a Java runtime home (no " +
                    "bin/java and lib/libjli.so in it). Give a runtime home such as " +
                    "/usr/lib/jvm/java-17-openjdk-amd64, or 'jlink' to make one.");
    }
    ProgressLine progress("copying the runtime " + from);
    copyHome(from, home);
  }
  writeRuntimeInfo(bundleDirectory, request.identifier);
}

void archiveRuntimeBundle(const std::string& bundleDirectory, const std::string& archive) {
  ProgressLine progress("packing the runtime (tar)");
  // ustar: the installer reads ustar headers, not GNU's long-name records; no owner names, so
  // that the archive is the same whoever makes it.
  runToolOrFail("tar", "/usr/bin/tar",
                {"--format=ustar", "--owner=0", "--group=0", "--numeric-owner", "--sort=name",
                 "-czf", archive, "-C", bundleDirectory, "Contents"});
}

int64_t uncompressedSize(const std::string& gzipFile) {
  gzFile in = gzopen(gzipFile.c_str(), "rb");
  if (!in) throw Failure("cannot read " + gzipFile + ".");
  int64_t total = 0;
  char buffer[65536];
  int n;
  while ((n = gzread(in, buffer, sizeof buffer)) > 0) total += n;
  const bool failed = n < 0;
  gzclose(in);
  if (failed) throw Failure(gzipFile + " is not a complete gzip file.");
  return total;
}

std::string sha256OfFile(const std::string& path) {
  const std::string out = runToolOrFail("sha256sum", "/usr/bin/sha256sum", {path});
  return out.substr(0, out.find(' '));
}

}  // namespace bundler
