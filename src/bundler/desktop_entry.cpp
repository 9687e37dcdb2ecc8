#include "bundler/desktop_entry.h"

#include <algorithm>

namespace bundler {

namespace {

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

// The escapes of a string value: backslash, line breaks, tabs.
std::string escapeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string execArgument(const std::string& argument) {
  std::string quoted = argument;
  if (argument.empty() || argument.find_first_of(kReserved) != std::string::npos) {
    quoted = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += "\"";
  }
  std::string out;
  for (char c : escapeValue(quoted)) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string javaWindowClass(const std::string& mainClass) {
  std::string name = mainClass;
  std::replace(name.begin(), name.end(), '.', '-');
  return name;
}

std::string desktopFileId(const std::string& identifier) {
  std::string id;
  bool elementStart = true;
  for (char c : identifier) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (c == '.') {
      id += '.';
      elementStart = true;
      continue;
    }
    if (elementStart && c >= '0' && c <= '9') id += '_';
    id += alnum || c == '-' || c == '_' ? c : '_';
    elementStart = false;
  }
  return id.empty() ? "app" : id;
}

std::string desktopEntryText(const DesktopEntry& entry) {
  std::string text = "[Desktop Entry]\nType=Application\n";
  text += "Name=" + escapeValue(entry.name) + "\n";
  if (entry.comment) text += "Comment=" + escapeValue(*entry.comment) + "\n";
  text += "Exec=" + execArgument(entry.executable) + (entry.passesUrls ? " %U\n" : " %F\n");
  if (entry.icon) text += "Icon=" + escapeValue(*entry.icon) + "\n";
  if (entry.startupWmClass) text += "StartupWMClass=" + escapeValue(*entry.startupWmClass) + "\n";
  text += "Categories=" + entry.categories + "\n";
  if (!entry.mimeTypes.empty()) {
    text += "MimeType=";
    for (const auto& type : entry.mimeTypes) text += escapeValue(type) + ";";
    text += "\n";
  }
  text += "Terminal=false\n";
  return text;
}

}  // namespace bundler
