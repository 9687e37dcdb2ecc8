#include "bundler/package_staging.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "bundler/desktop_entry.h"
#include "bundler/failure.h"
#include "bundler/icon.h"
#include "bundler/staged_output.h"
#include "bundler/tools.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

// The sizes the hicolor theme has folders for; an image of another size goes into the largest
// folder below it, as the theme scales within a folder's range.
constexpr unsigned kThemeSizes[] = {16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256, 512};

// `installed` ("/usr/bin/x") below the staging root.
fs::path below(const std::string& root, const std::string& installed) {
  return fs::path(root) / fs::path(installed).relative_path();
}

void writeInstalled(const std::string& root, const std::string& installed,
                    const std::string& content) {
  const fs::path path = below(root, installed);
  fs::create_directories(path.parent_path());
  writeFileAtomically(path.string(), content, 0644);
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void copyBundle(const PackageRequest& request, const std::string& root) {
  const fs::path target = below(root, request.installedBundle());
  fs::create_directories(target.parent_path());
  std::error_code error;
  fs::copy(request.bundle.path, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
           error);
  if (error) {
    throw Failure("cannot copy " + request.bundle.path + " into the package: " + error.message() +
                  ". Check that every file in the bundle is readable.");
  }
}

void linkCommand(const PackageRequest& request, const std::string& root) {
  const fs::path link = below(root, "/usr/bin/" + request.command);
  fs::create_directories(link.parent_path());
  // Within /usr the link is relative, so that the tree stays whole when mounted elsewhere;
  // from /usr/bin into /opt it is absolute, as links between top-level folders are.
  fs::path target = request.launcherPath();
  if (request.installDir.starts_with("/usr/")) target = target.lexically_relative("/usr/bin");
  fs::create_symlink(target, link);
}

std::string themeFolder(unsigned width) {
  unsigned chosen = kThemeSizes[0];
  for (unsigned size : kThemeSizes) {
    if (size <= width) chosen = size;
  }
  return std::to_string(chosen) + "x" + std::to_string(chosen);
}

// Installs every image the icon holds; true when there was one.
bool installIcons(const PackageRequest& request, const std::string& root) {
  if (!request.bundle.iconFile) return false;
  const Icon icon = readIcon(*request.bundle.iconFile);
  std::vector<std::string> pngs;
  if (icon.format == IconFormat::kPng) {
    pngs.push_back(icon.bytes);
  } else {
    pngs = pngsInIcns(icon.bytes);
  }
  if (pngs.empty()) asPng(icon, *request.bundle.iconFile);  // raises the reason
  // The largest image of each folder wins, so that a folder never holds one scaled up.
  std::sort(pngs.begin(), pngs.end(), [](const std::string& a, const std::string& b) {
    return pngSize(a)->width < pngSize(b)->width;
  });
  for (const auto& png : pngs) {
    const std::string folder = themeFolder(pngSize(png)->width);
    writeInstalled(root, "/usr/share/icons/hicolor/" + folder + "/apps/" +
                             request.bundle.desktopId + ".png", png);
  }
  return true;
}

void writeDesktopEntry(const PackageRequest& request, const std::string& root, bool hasIcon) {
  DesktopEntry entry;
  entry.name = request.bundle.displayName;
  entry.executable = "/usr/bin/" + request.command;
  entry.categories = request.category + ";";
  entry.comment = request.summary();
  if (request.bundle.mainClass) entry.startupWmClass = javaWindowClass(*request.bundle.mainClass);
  if (hasIcon) entry.icon = request.bundle.desktopId;
  for (const auto& type : request.fileTypes) entry.mimeTypes.push_back(type.mimeType);
  for (const auto& scheme : request.urlSchemes) {
    entry.mimeTypes.push_back("x-scheme-handler/" + scheme);
  }
  entry.passesUrls = !request.urlSchemes.empty();
  writeInstalled(root, "/usr/share/applications/" + request.bundle.desktopId + ".desktop",
                 desktopEntryText(entry));
}

// The types the machine's shared-mime-info does not define, with their globs.
void writeMimeDescription(const PackageRequest& request, const std::string& root) {
  std::string types;
  std::set<std::string> described;
  for (const auto& type : request.fileTypes) {
    if (type.knownToMachine || !described.insert(type.mimeType).second) continue;
    types += "  <mime-type type=\"" + xmlEscaped(type.mimeType) + "\">\n";
    types += "    <comment>" +
             xmlEscaped(type.description.value_or(request.bundle.displayName + " document")) +
             "</comment>\n";
    for (const auto& same : request.fileTypes) {
      if (same.mimeType != type.mimeType) continue;
      types += "    <glob pattern=\"*." + xmlEscaped(same.extension) + "\"/>\n";
    }
    types += "  </mime-type>\n";
  }
  if (types.empty()) return;
  writeInstalled(root, "/usr/share/mime/packages/" + request.bundle.desktopId + ".xml",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n" +
                     types + "</mime-info>\n");
}

void writeCopyright(const PackageRequest& request, const std::string& root) {
  std::string text;
  if (request.copyrightFile) {
    auto given = platform::FileManager().readFile(*request.copyrightFile);
    if (!given) {
      throw Failure("cannot read the --copyright file " + *request.copyrightFile + ".");
    }
    text = *given;
  } else {
    text = request.bundle.displayName + "\n\n";
    text += "Packaged by: " + request.maintainer.value_or("the developer of " +
                                                          request.bundle.displayName) + "\n";
    if (request.homepage) text += "Source: " + *request.homepage + "\n";
    text += "License: " + request.license.value_or("not stated by the developer") + "\n";
    // Debian asks that a license it keeps in common-licenses be referred to, not repeated.
    if (request.license && request.license->find('/') == std::string::npos &&
        platform::FileManager().isRegularFile("/usr/share/common-licenses/" + *request.license)) {
      text += "\nOn Debian systems, the full text of the " + *request.license + " license can be " +
              "found in /usr/share/common-licenses/" + *request.license + ".\n";
    }
  }
  writeInstalled(root, "/usr/share/doc/" + request.name + "/copyright", text);
}

bool isElf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return in.gcount() == 4 && std::string(magic, 4) == "\x7f" "ELF";
}

// Removes symbols and notes from the ELF files, as Debian's and the RPM distributions' own
// packaging does: what runs is unchanged, the exported (dynamic) symbols stay.
void stripElfFiles(const std::string& root, const std::vector<std::string>& elfFiles) {
  if (elfFiles.empty()) return;
  const std::string strip = programInPath("strip", "binutils");
  std::vector<std::string> libraries, programs;
  for (const auto& file : elfFiles) {
    const std::string path = below(root, file).string();
    (fs::path(file).filename().string().find(".so") != std::string::npos ? libraries : programs)
        .push_back(path);
  }
  const std::vector<std::string> common = {"--remove-section=.comment", "--remove-section=.note",
                                           "--preserve-dates"};
  if (!libraries.empty()) {
    std::vector<std::string> arguments = common;
    arguments.push_back("--strip-unneeded");
    arguments.insert(arguments.end(), libraries.begin(), libraries.end());
    runToolOrFail("stripping the shared libraries", strip, arguments);
  }
  if (!programs.empty()) {
    std::vector<std::string> arguments = common;
    arguments.insert(arguments.end(), programs.begin(), programs.end());
    runToolOrFail("stripping the programs", strip, arguments);
  }
}

}  // namespace

void normaliseTree(const std::string& root, int64_t epoch) {
  const struct timespec times[2] = {{epoch, 0}, {epoch, 0}};
  std::vector<fs::path> paths = {root};
  for (const auto& entry : fs::recursive_directory_iterator(root)) paths.push_back(entry.path());
  for (const auto& path : paths) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (!S_ISLNK(info.st_mode)) {
      mode_t mode = S_ISDIR(info.st_mode) || (info.st_mode & 0111) ? 0755 : 0644;
      ::chmod(path.c_str(), mode);
    }
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

std::vector<std::string> installedEntries(const std::string& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.push_back("/" + entry.path().lexically_relative(root).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

uint64_t installedKiB(const std::string& root) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().lexically_relative(root).string().starts_with("DEBIAN")) continue;
    total += entry.is_regular_file() && !entry.is_symlink() ? (entry.file_size() + 1023) / 1024 : 1;
  }
  return total;
}

int64_t newestTimeIn(const std::string& bundle) {
  int64_t newest = 0;
  std::vector<fs::path> paths = {bundle};
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) paths.push_back(entry.path());
  for (const auto& path : paths) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) newest = std::max<int64_t>(newest, info.st_mtim.tv_sec);
  }
  return newest;
}

StagedTree stageInstalledTree(const PackageRequest& request, const std::string& root) {
  copyBundle(request, root);
  normaliseTree(root, request.sourceDateEpoch);  // writable modes before strip
  StagedTree tree;
  tree.root = root;
  for (const auto& installed : installedEntries(root)) {
    const fs::path path = below(root, installed);
    const fs::file_status status = fs::symlink_status(path);
    if (fs::is_regular_file(status) && isElf(path)) {
      tree.elfFiles.push_back(installed);
      const std::string name = path.filename().string();
      if (name.find(".so") != std::string::npos) tree.sharedLibraries.push_back(name);
    }
  }
  stripElfFiles(root, tree.elfFiles);
  linkCommand(request, root);
  const bool hasIcon = installIcons(request, root);
  writeDesktopEntry(request, root, hasIcon);
  writeMimeDescription(request, root);
  writeCopyright(request, root);
  normaliseTree(root, request.sourceDateEpoch);
  return tree;
}

}  // namespace bundler
