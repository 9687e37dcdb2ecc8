// Freedesktop desktop entries: the text of an entry for a bundle, with values escaped and the
// Exec line quoted by the desktop-entry rules.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bundler {

struct DesktopEntry {
  std::string name;
  std::string executable;  // absolute path of the bundle's launcher
  std::optional<std::string> icon;  // an icon name or an absolute path
  std::optional<std::string> startupWmClass;
  std::string categories;  // "Utility;"
  std::optional<std::string> comment;
  // The launcher gets what it is opened with as URLs (%U) rather than as file paths (%F): only
  // for a bundle that declares URL schemes, since Java programs take their arguments as paths.
  bool passesUrls = false;
  std::vector<std::string> mimeTypes;  // what the entry opens, "MimeType=" when not empty
};

// The entry's text: [Desktop Entry] with Type, Name, Exec ("<executable>" %F or %U), Icon,
// StartupWMClass, Categories, MimeType, Terminal=false.
std::string desktopEntryText(const DesktopEntry& entry);
// One argument of an Exec line: quoted when it holds a reserved character, then escaped as a
// string value (so a backslash becomes four), "%" doubled.
std::string execArgument(const std::string& argument);
// The window class a Java toolkit gives the windows of `mainClass` (its '.' become '-').
std::string javaWindowClass(const std::string& mainClass);
// A desktop-file id from a bundle identifier: letters, digits, '_', '-' and '.', no element
// starting with a digit.
std::string desktopFileId(const std::string& identifier);

}  // namespace bundler
