// The Debian package: the staged tree with the files Debian's policy asks of every package (a
// compressed changelog, lintian's overrides with their reasons), a control file whose Depends
// dpkg-shlibdeps reads off the ELF files, built by dpkg-deb with root as owner.
#include <zlib.h>

#include <ctime>
#include <filesystem>
#include <set>

#include "bundler/failure.h"
#include "bundler/package_formats.h"
#include "bundler/package_naming.h"
#include "bundler/staged_output.h"
#include "bundler/tools.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

// A gzip stream without a name or time in its header, so the same text gives the same bytes.
std::string gzipped(const std::string& text) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Failure("cannot start compressing the changelog (zlib).");
  }
  std::string out(deflateBound(&stream, text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw Failure("cannot compress the changelog (zlib).");
  return out;
}

// "Thu, 01 Jan 1970 00:00:00 +0000", in English whatever the locale.
std::string rfc2822Date(int64_t epoch) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t seconds = static_cast<time_t>(epoch);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

std::string debianVersion(const PackageRequest& request) {
  return request.version + "-" + request.release;
}

void writeInTree(const std::string& root, const std::string& installed, const std::string& bytes) {
  const fs::path path = fs::path(root) / fs::path(installed).relative_path();
  fs::create_directories(path.parent_path());
  writeFileAtomically(path.string(), bytes, 0644);
}

void writeChangelog(const PackageRequest& request, const std::string& root) {
  const std::string text = request.name + " (" + debianVersion(request) +
                           ") unstable; urgency=medium\n\n  * Packaged from the " +
                           request.bundle.folderName + " bundle.\n\n -- " + *request.maintainer +
                           "  " + rfc2822Date(request.sourceDateEpoch) + "\n";
  writeInTree(root, "/usr/share/doc/" + request.name + "/changelog.Debian.gz", gzipped(text));
}

// What lintian reports about files we carry knowingly, each with the reason it is right.
void writeLintianOverrides(const PackageRequest& request, const std::string& root) {
  const std::string launcher = request.launcherPath().substr(1);
  std::string text =
      "# The launcher carries its XML reader (expat) linked in, so that it reads the bundle's\n"
      "# Info.plist the same on every distribution, whatever expat the machine has.\n" +
      request.name + ": embedded-library expat [" + launcher + "]\n" +
      "# It carries zlib and GMP (under its signature checks) linked in for the same reason: the\n"
      "# update checker it runs reads archives and verifies signatures on any machine with only\n"
      "# the C library.\n" +
      request.name + ": embedded-library zlib [" + launcher + "]\n" +
      request.name + ": embedded-library gmp [" + launcher + "]\n";
  writeInTree(root, "/usr/share/lintian/overrides/" + request.name, text);
}

// The Depends dpkg-shlibdeps reads off the ELF files; the libraries the package carries itself
// (the runtime's) are found beside them and need nothing.
std::string sharedLibraryDepends(const PackageRequest& request, const StagedTree& tree,
                                 const std::string& workDir) {
  if (tree.elfFiles.empty()) return "";
  const std::string folder = platform::joinPath(workDir, "shlibdeps");
  fs::create_directories(fs::path(folder) / "debian");
  writeFileAtomically(folder + "/debian/control",
                      "Source: " + request.name + "\n\nPackage: " + request.name +
                          "\nArchitecture: amd64\n");
  std::set<std::string> libraryFolders;
  std::vector<std::string> arguments = {"-O", "--warnings=0", "-S" + tree.root};
  for (const auto& file : tree.elfFiles) {
    if (fs::path(file).filename().string().find(".so") != std::string::npos) {
      libraryFolders.insert(tree.root + fs::path(file).parent_path().string());
    }
  }
  for (const auto& libraryFolder : libraryFolders) arguments.push_back("-l" + libraryFolder);
  arguments.push_back("-e");
  for (const auto& file : tree.elfFiles) arguments.push_back(tree.root + file);
  ToolSetting setting;
  setting.workingDirectory = folder;
  const std::string out =
      runToolOrFail("reading the libraries the package needs", programInPath("dpkg-shlibdeps", "dpkg-dev"), arguments, setting);
  constexpr std::string_view kField = "shlibs:Depends=";
  const size_t at = out.find(kField);
  if (at == std::string::npos) return "";
  std::string depends = out.substr(at + kField.size());
  return depends.substr(0, depends.find('\n'));
}

// A Java runtime from Debian's virtual packages, for a bundle that brings none: every Debian
// runtime of release N or newer provides "javaN-runtime".
std::string javaDepends(const PackageRequest& request) {
  if (request.bundle.embedsRuntime || request.bundle.isInstaller) return "";
  const int feature = request.bundle.minJava ? javaFeatureRelease(*request.bundle.minJava).value_or(8)
                                             : 8;
  return "java" + std::to_string(std::max(feature, 5)) + "-runtime";
}

std::string recommends(const PackageRequest& request) {
  std::string list;
  if (request.bundle.isInstaller) list = "libgtk-3-0 | libgtk-3-0t64";
  if (request.bundle.downloadsRuntime) {
    list += std::string(list.empty() ? "" : ", ") + "libcurl4 | libcurl4t64";
  }
  return list;
}

std::string descriptionField(const PackageRequest& request) {
  std::string text = "Description: " + request.summary() + "\n";
  std::string rest;
  if (request.description && request.description->find('\n') != std::string::npos) {
    rest = request.description->substr(request.description->find('\n') + 1);
  } else {
    rest = request.bundle.displayName + " as an application bundle with its own launcher" +
           (request.bundle.embedsRuntime ? " and the Java runtime it needs." : ".");
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\n', start);
    if (end == std::string::npos) end = rest.size();
    const std::string line = rest.substr(start, end - start);
    text += line.find_first_not_of(" \t") == std::string::npos ? " .\n" : " " + line + "\n";
    start = end + 1;
  }
  return text;
}

std::string controlText(const PackageRequest& request, const StagedTree& tree,
                        const std::string& workDir) {
  std::string depends = sharedLibraryDepends(request, tree, workDir);
  if (const std::string java = javaDepends(request); !java.empty()) {
    depends += (depends.empty() ? "" : ", ") + java;
  }
  std::string text = "Package: " + request.name + "\n";
  text += "Version: " + debianVersion(request) + "\n";
  text += "Architecture: amd64\n";
  text += "Maintainer: " + *request.maintainer + "\n";
  text += "Installed-Size: " + std::to_string(installedKiB(tree.root)) + "\n";
  if (!depends.empty()) text += "Depends: " + depends + "\n";
  if (const std::string r = recommends(request); !r.empty()) text += "Recommends: " + r + "\n";
  text += "Section: misc\nPriority: optional\n";
  if (request.homepage) text += "Homepage: " + *request.homepage + "\n";
  text += descriptionField(request);
  return text;
}

}  // namespace

std::map<std::string, std::string> reproducibleEnvironment(const PackageRequest& request) {
  return {{"SOURCE_DATE_EPOCH", std::to_string(request.sourceDateEpoch)},
          {"LC_ALL", "C.UTF-8"},
          {"TZ", "UTC"}};
}

std::string buildDeb(const PackageRequest& request, const StagedTree& tree,
                     const std::string& workDir) {
  writeChangelog(request, tree.root);
  writeLintianOverrides(request, tree.root);
  const std::string control = controlText(request, tree, workDir);
  writeInTree(tree.root, "/DEBIAN/control", control);
  normaliseTree(tree.root, request.sourceDateEpoch);

  const std::string out = platform::joinPath(workDir, "package.deb");
  ToolSetting setting;
  setting.environment = reproducibleEnvironment(request);
  runToolOrFail("building the Debian package", programInPath("dpkg-deb", "dpkg"),
                {"--root-owner-group", "-Zxz", "-z1", "--build", tree.root, out}, setting);
  return out;
}

}  // namespace bundler
