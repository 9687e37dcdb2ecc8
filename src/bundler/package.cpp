// qmk-bundle package: a bundle that starts, made into a .deb or .rpm that installs it under
// /opt (or a prefix), puts it into the menu with its icons and file types, and carries no
// maintainer scripts: the distributions' own triggers refresh their caches.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bundler/check_report.h"
#include "bundler/command_line.h"
#include "bundler/commands.h"
#include "bundler/desktop_entry.h"
#include "bundler/failure.h"
#include "bundler/package_formats.h"
#include "bundler/package_naming.h"
#include "bundler/package_staging.h"
#include "bundler/staged_output.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kCommand = "package";
constexpr const char* kEmbeddedRuntime = "Contents/PlugIns/jre.bundle";
constexpr const char* kShippedRuntime = "Contents/Resources/app/jre.tar.gz";
constexpr const char* kRuntimeLocationKey = "qmk.jreLocation";
constexpr const char* kSharedMimeInfoDatabase = "/usr/share/mime/packages/freedesktop.org.xml";

CommandSyntax packageSyntax() {
  return {kCommand,
          "BUNDLE --type deb|rpm [options]",
          "Makes a Debian or RPM package of BUNDLE (NAME.app, one 'qmk-bundle check' finds\n"
          "startable) and prints its path. It installs the bundle as /opt/<name>/NAME.app,\n"
          "/usr/bin/<command> linked to its launcher, a desktop entry, the icon in the hicolor\n"
          "theme, the file types' MIME description and the copyright; it has no maintainer\n"
          "scripts. The version is the bundle's CFBundleShortVersionString. SOURCE_DATE_EPOCH,\n"
          "when set, is the time the package carries; otherwise the bundle's newest file's.",
          {
              {"type", "deb|rpm", "the package format"},
              {"out", "DIR", "where the package file goes (default: here; created when missing)"},
              {"package-name", "NAME", "the package name (default: CFBundleName in lower case)"},
              {"release", "N", "the package release (default: 1)"},
              {"maintainer", "\"NAME <MAIL>\"", "who answers for the package (required for deb)"},
              {"description", "TEXT", "the description; its first line is the summary"},
              {"license", "NAME", "the license's name, such as Apache-2.0"},
              {"copyright", "FILE", "the copyright file to install"},
              {"homepage", "URL", "the application's home page"},
              {"category", "NAME", "the menu's main category (default: Utility)"},
              {"command", "NAME", "the program in /usr/bin (default: the package name)"},
              {"prefix", "DIR", "install the bundle as DIR/<name>/NAME.app instead of under /opt"},
              {"file-type", "EXT:MIME[:DESCRIPTION]", "a file type the application opens", true},
              {"url-scheme", "SCHEME", "a URL scheme the application handles", true},
          },
          1};
}

// A private folder below the temporary directory, removed with everything in it.
class WorkFolder {
 public:
  WorkFolder() {
    auto made = platform::createUniqueDirectory("qmk-package-");
    if (!made) {
      throw Failure("cannot create a work folder in " + platform::temporaryDirectory() +
                    ". Set TMPDIR to a folder where you may write.");
    }
    path_ = *made;
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

PackageFormat formatOf(const ParsedOptions& options) {
  const std::string type = options.required("type");
  if (type == "deb") return PackageFormat::kDeb;
  if (type == "rpm") return PackageFormat::kRpm;
  throw UsageError("--type '" + type + "' is not a package format: give deb or rpm.");
}

PackagedBundle readBundle(const std::string& given) {
  PackagedBundle facts;
  facts.path = fs::weakly_canonical(platform::absolutePath(given)).string();
  auto bundle = platform::Bundle::create(facts.path);
  const std::string plistPath = platform::joinPath(facts.path, "Contents/Info.plist");
  if (!bundle || !platform::FileManager().isRegularFile(plistPath)) {
    throw Failure(given + " is not an application bundle (no " + plistPath + "). Make one " +
                  "with 'qmk-bundle create'.");
  }
  const auto name = bundle->infoValue("CFBundleName").stringValue();
  const auto executable = bundle->infoValue("CFBundleExecutable").stringValue();
  const auto identifier = bundle->identifier();
  if (!name || !executable || !identifier) {
    throw Failure(plistPath + " lacks CFBundleName, CFBundleExecutable or CFBundleIdentifier; " +
                  "a package needs all three.");
  }
  const auto version = bundle->infoValue("CFBundleShortVersionString").stringValue();
  if (!version || version->empty()) {
    throw Failure(plistPath + " has no CFBundleShortVersionString, the version the package " +
                  "takes. Make the bundle with 'qmk-bundle create --version VERSION'.");
  }
  facts.folderName = platform::lastPathComponent(facts.path);
  facts.displayName = *name;
  facts.desktopId = desktopFileId(*identifier);
  facts.executable = *executable;
  facts.version = *version;
  facts.mainClass = bundle->infoValue("JavaVM")["MainClass"].stringValue();
  if (auto icon = bundle->infoValue("CFBundleIconFile").stringValue()) {
    facts.iconFile = platform::joinPath(bundle->resourcePath(), *icon);
  }
  facts.minJava = bundle->infoValue("qmk.minVersion").stringValue();
  platform::FileManager files;
  facts.embedsRuntime = files.isDirectory(platform::joinPath(facts.path, kEmbeddedRuntime));
  const auto location = bundle->infoValue(kRuntimeLocationKey).stringValue();
  facts.isInstaller = location || files.isRegularFile(platform::joinPath(facts.path, kShippedRuntime));
  facts.downloadsRuntime = location && (location->starts_with("http://") ||
                                        location->starts_with("https://"));
  return facts;
}

// The launch `check` would explain, refused here with its reason.
void requireStartable(const std::string& bundle) {
  const CheckReport report = explainLaunch(bundle, {});
  if (!report.wouldStart()) {
    throw Failure(bundle + " would not start: " + report.failures.front() +
                  " See 'qmk-bundle check " + bundle + "'.");
  }
}

std::string installDirOf(const ParsedOptions& options, const std::string& name) {
  const auto prefix = options.value("prefix");
  if (!prefix) return "/opt/" + name;
  std::string dir = *prefix;
  while (dir.size() > 1 && dir.ends_with("/")) dir.pop_back();
  const bool safe = dir.find_first_of(" \t\n\"'%$\\") == std::string::npos;
  if (!dir.starts_with("/") || dir == "/" || fs::path(dir).lexically_normal().string() != dir ||
      !safe) {
    throw UsageError("--prefix '" + *prefix + "' is not an absolute, plain folder such as " +
                     "/usr/lib (no '..', blanks or quotes).");
  }
  return dir + "/" + name;
}

std::string outDirOf(const ParsedOptions& options) {
  const std::string dir = platform::absolutePath(options.value("out").value_or("."));
  std::error_code error;
  if (fs::exists(dir, error) && !fs::is_directory(dir, error)) {
    throw Failure("--out " + dir + " is a file, not a folder. Name a folder for the package.");
  }
  fs::create_directories(dir, error);
  if (error) {
    throw Failure("cannot create the --out folder " + dir + ": " + error.message() + ".");
  }
  return dir;
}

int64_t sourceDateEpoch(const std::string& bundle) {
  if (const char* given = std::getenv("SOURCE_DATE_EPOCH"); given && *given) {
    char* end = nullptr;
    const long long value = std::strtoll(given, &end, 10);
    if (*end != '\0' || value < 0) {
      throw UsageError(std::string("SOURCE_DATE_EPOCH '") + given + "' is not a count of " +
                       "seconds since 1970. Set it to such a number, or unset it.");
    }
    return value;
  }
  return newestTimeIn(bundle);
}

void checkMaintainer(const std::optional<std::string>& maintainer, PackageFormat format) {
  if (!maintainer) {
    if (format == PackageFormat::kDeb) {
      throw UsageError("a Debian package needs --maintainer \"Name <mail@example.org>\".");
    }
    return;
  }
  const size_t open = maintainer->find('<');
  const bool fits = open != std::string::npos && open > 0 && maintainer->ends_with(">") &&
                    maintainer->find('@', open) != std::string::npos &&
                    maintainer->find('\n') == std::string::npos;
  if (!fits) {
    throw UsageError("--maintainer '" + *maintainer + "' is not \"Name <mail@example.org>\".");
  }
}

// True when shared-mime-info itself defines `type` (or knows it as an alias). Only its own
// database counts: a type another package installed, an earlier version of this one included,
// must still be defined by the package that needs it.
bool sharedMimeInfoDefines(const std::string& type, const std::string& database) {
  return database.find("<mime-type type=\"" + type + "\"") != std::string::npos ||
         database.find("<alias type=\"" + type + "\"") != std::string::npos;
}

PackageRequest requestFrom(const ParsedOptions& options) {
  PackageRequest request;
  request.format = formatOf(options);
  request.release = options.value("release").value_or("1");
  checkRelease(request.release);
  request.maintainer = options.value("maintainer");
  checkMaintainer(request.maintainer, request.format);
  request.category = options.value("category").value_or("Utility");
  checkCategory(request.category);
  const std::string mimeDatabase =
      platform::FileManager().readFile(kSharedMimeInfoDatabase).value_or("");
  for (const auto& given : options.values("file-type")) {
    FileType type = parseFileType(given);
    type.knownToMachine = sharedMimeInfoDefines(type.mimeType, mimeDatabase);
    request.fileTypes.push_back(std::move(type));
  }
  for (const auto& given : options.values("url-scheme")) {
    request.urlSchemes.push_back(parseUrlScheme(given));
  }
  request.homepage = options.value("homepage");
  if (request.homepage && !request.homepage->starts_with("https://") &&
      !request.homepage->starts_with("http://")) {
    throw UsageError("--homepage '" + *request.homepage + "' is not an http or https URL.");
  }
  request.description = options.value("description");
  request.license = options.value("license");
  if (auto copyright = options.value("copyright")) {
    request.copyrightFile = platform::absolutePath(*copyright);
    if (!platform::FileManager().isRegularFile(*request.copyrightFile)) {
      throw Failure("the --copyright file " + *request.copyrightFile + " does not exist.");
    }
  }
  if (auto name = options.value("package-name")) {
    checkPackageName(*name);
    request.name = *name;
  }
  if (auto command = options.value("command")) checkCommandName(*command);
  return request;
}

int package(const Arguments& args) {
  const CommandSyntax syntax = packageSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  if (options.positional.empty()) {
    throw UsageError("name the bundle: qmk-bundle package NAME.app --type deb|rpm");
  }
  PackageRequest request = requestFrom(options);
  request.bundle = readBundle(options.positional.front());
  if (request.name.empty()) {
    auto name = packageNameFromBundleName(request.bundle.displayName);
    if (!name) {
      throw UsageError("no package name can be made from '" + request.bundle.displayName +
                       "'. Give one with --package-name.");
    }
    request.name = *name;
  }
  request.command = options.value("command").value_or(request.name);
  request.installDir = installDirOf(options, request.name);
  request.version = mapVersion(request.bundle.version, request.format);
  requireStartable(request.bundle.path);
  request.outDir = outDirOf(options);
  request.sourceDateEpoch = sourceDateEpoch(request.bundle.path);

  WorkFolder work;
  const std::string root = platform::joinPath(work.path(), "root");
  fs::create_directory(root);
  const StagedTree tree = stageInstalledTree(request, root);
  const std::string built = request.format == PackageFormat::kDeb
                                ? buildDeb(request, tree, work.path())
                                : buildRpm(request, tree, work.path());
  const std::string final = platform::joinPath(request.outDir, packageFileName(request));
  const auto bytes = platform::FileManager().readFile(built);
  if (!bytes) throw Failure("the built package " + built + " cannot be read.");
  writeFileAtomically(final, *bytes, 0644);
  std::printf("%s\n", final.c_str());
  return kExitDone;
}

}  // namespace

int runPackage(const Arguments& args) {
  return runReporting(kCommand, [&] { return package(args); });
}

}  // namespace bundler
