// qmk-bundle desktop: what "open the bundle" is on a Linux desktop, a freedesktop entry that
// starts the bundle's launcher, written beside the user, or installed into (and removed from)
// the user's applications and icon theme.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bundler/command_line.h"
#include "bundler/commands.h"
#include "bundler/desktop_entry.h"
#include "bundler/failure.h"
#include "bundler/icon.h"
#include "bundler/staged_output.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kCommand = "desktop";
constexpr unsigned kThemeSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

CommandSyntax desktopSyntax() {
  return {kCommand,
          "BUNDLE [--install | --uninstall] [options]",
          "Writes a desktop entry that starts BUNDLE (NAME.app): ID.desktop and ID.png in the\n"
          "current directory (or --out), ID being the bundle identifier. --install puts them\n"
          "into $XDG_DATA_HOME/applications and the hicolor icon theme ($XDG_DATA_HOME\n"
          "defaults to ~/.local/share); --uninstall removes both again.",
          {
              {"install", "", "install the entry and its icon for this user"},
              {"uninstall", "", "remove what --install installed"},
              {"categories", "LIST", "the menu categories (default: Utility;)"},
              {"comment", "TEXT", "the entry's comment"},
              {"out", "FILE", "where the entry goes (without --install)"},
              {"force", "", "replace an existing --out"},
          },
          1};
}

struct BundleFacts {
  std::string path;
  std::string name;
  std::string id;
  std::string executable;
  std::optional<std::string> mainClass;
  std::optional<std::string> iconFile;
  bool declaresUrlSchemes = false;
};

// Whether CFBundleURLTypes names at least one scheme (a non-empty CFBundleURLSchemes entry).
bool declaresUrlSchemes(const plist::Value& urlTypes) {
  for (size_t i = 0; i < urlTypes.size(); i++) {
    const plist::Value& schemes = urlTypes[i]["CFBundleURLSchemes"];
    for (size_t k = 0; k < schemes.size(); k++) {
      auto scheme = schemes[k].stringValue();
      if (scheme && !scheme->empty()) return true;
    }
  }
  return false;
}

BundleFacts readBundle(const std::string& given) {
  const std::string path = fs::weakly_canonical(platform::absolutePath(given)).string();
  auto bundle = platform::Bundle::create(path);
  const std::string plistPath = platform::joinPath(path, "Contents/Info.plist");
  if (!bundle || !platform::FileManager().isRegularFile(plistPath)) {
    throw Failure(given + " is not an application bundle (no " + plistPath + "). Make one " +
                  "with 'qmk-bundle create'.");
  }
  BundleFacts facts;
  facts.path = path;
  const auto name = bundle->infoValue("CFBundleName").stringValue();
  const auto executable = bundle->infoValue("CFBundleExecutable").stringValue();
  const auto identifier = bundle->identifier();
  if (!name || !executable || !identifier) {
    throw Failure(plistPath + " lacks CFBundleName, CFBundleExecutable or CFBundleIdentifier; " +
                  "a desktop entry needs all three.");
  }
  facts.name = *name;
  facts.id = desktopFileId(*identifier);
  facts.executable = platform::joinPath(path, "Contents/MacOS/" + *executable);
  if (!platform::FileManager().isRegularFile(facts.executable)) {
    throw Failure("the bundle's launcher " + facts.executable + " is missing.");
  }
  facts.mainClass = bundle->infoValue("JavaVM")["MainClass"].stringValue();
  facts.declaresUrlSchemes = declaresUrlSchemes(bundle->infoValue("CFBundleURLTypes"));
  if (auto icon = bundle->infoValue("CFBundleIconFile").stringValue()) {
    facts.iconFile = platform::joinPath(bundle->resourcePath(), *icon);
  }
  return facts;
}

std::string dataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return xdg;
  return platform::joinPath(platform::homeDirectory(), ".local/share");
}

// The hicolor folder an icon of `width` pixels goes into.
std::string themeFolder(unsigned width) {
  unsigned chosen = kThemeSizes[0];
  for (unsigned size : kThemeSizes) {
    if (size <= width) chosen = size;
  }
  return std::to_string(chosen) + "x" + std::to_string(chosen);
}

DesktopEntry entryFor(const BundleFacts& facts, const ParsedOptions& options) {
  DesktopEntry entry;
  entry.name = facts.name;
  entry.executable = facts.executable;
  entry.categories = options.value("categories").value_or("Utility;");
  if (!entry.categories.ends_with(";")) entry.categories += ";";
  entry.comment = options.value("comment");
  entry.passesUrls = facts.declaresUrlSchemes;
  if (facts.mainClass) {
    entry.startupWmClass = javaWindowClass(*facts.mainClass);
  } else {
    warn(kCommand, "the bundle names no main class, so the entry has no StartupWMClass; the " +
                       std::string("desktop may not match its windows to the entry."));
  }
  return entry;
}

std::optional<std::string> iconPng(const BundleFacts& facts) {
  if (!facts.iconFile) return std::nullopt;
  return asPng(readIcon(*facts.iconFile), *facts.iconFile);
}

int install(const BundleFacts& facts, DesktopEntry entry) {
  const std::string data = dataHome();
  if (auto png = iconPng(facts)) {
    const auto size = pngSize(*png).value_or(PixelSize{});
    const fs::path folder = fs::path(data) / "icons/hicolor" / themeFolder(size.width) / "apps";
    fs::create_directories(folder);
    writeFileAtomically((folder / (facts.id + ".png")).string(), *png);
    entry.icon = facts.id;
  }
  const fs::path applications = fs::path(data) / "applications";
  fs::create_directories(applications);
  const std::string path = (applications / (facts.id + ".desktop")).string();
  writeFileAtomically(path, desktopEntryText(entry));
  std::printf("%s\n", path.c_str());
  return kExitDone;
}

int uninstall(const BundleFacts& facts) {
  const fs::path data = dataHome();
  std::vector<fs::path> removed;
  const fs::path entry = data / "applications" / (facts.id + ".desktop");
  if (fs::remove(entry)) removed.push_back(entry);
  const fs::path theme = data / "icons/hicolor";
  std::error_code error;
  if (fs::is_directory(theme, error)) {
    for (const auto& size : fs::directory_iterator(theme)) {
      const fs::path icon = size.path() / "apps" / (facts.id + ".png");
      if (fs::remove(icon, error)) removed.push_back(icon);
    }
  }
  if (removed.empty()) {
    std::fprintf(stderr, "qmk-bundle desktop: nothing was installed for %s\n", facts.id.c_str());
  }
  for (const auto& path : removed) std::printf("removed %s\n", path.c_str());
  return kExitDone;
}

int writeBeside(const BundleFacts& facts, DesktopEntry entry, const ParsedOptions& options) {
  const std::string path = platform::absolutePath(options.value("out").value_or(facts.id + ".desktop"));
  if (pathExists(path) && !options.has("force")) {
    throw Failure(path + " exists already. Remove it, choose another --out, or pass --force.");
  }
  if (auto png = iconPng(facts)) {
    std::string iconPath = path.ends_with(".desktop") ? path.substr(0, path.size() - 8) : path;
    iconPath += ".png";
    writeFileAtomically(iconPath, *png);
    entry.icon = iconPath;
  }
  writeFileAtomically(path, desktopEntryText(entry));
  std::printf("%s\n", path.c_str());
  return kExitDone;
}

int desktop(const Arguments& args) {
  const CommandSyntax syntax = desktopSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  if (options.positional.empty()) throw UsageError("name the bundle: qmk-bundle desktop NAME.app");
  if (options.has("install") && options.has("uninstall")) {
    throw UsageError("--install and --uninstall exclude each other.");
  }
  if (options.has("out") && (options.has("install") || options.has("uninstall"))) {
    throw UsageError("--out is for an entry that is not installed; --install chooses its place.");
  }
  const BundleFacts facts = readBundle(options.positional.front());
  if (options.has("uninstall")) return uninstall(facts);
  DesktopEntry entry = entryFor(facts, options);
  return options.has("install") ? install(facts, std::move(entry))
                                : writeBeside(facts, std::move(entry), options);
}

}  // namespace

int runDesktop(const Arguments& args) {
  return runReporting(kCommand, [&] { return desktop(args); });
}

}  // namespace bundler
