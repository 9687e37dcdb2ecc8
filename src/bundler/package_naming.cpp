#include "bundler/package_naming.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "bundler/failure.h"

namespace bundler {

namespace {

bool isLowerAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

bool allOf(const std::string& text, const std::string& extra) {
  return std::all_of(text.begin(), text.end(),
                     [&](char c) { return isAlnum(c) || extra.find(c) != std::string::npos; });
}

constexpr std::array<const char*, 13> kMainCategories = {
    "AudioVideo", "Audio", "Video", "Development", "Education", "Game", "Graphics",
    "Network", "Office", "Science", "Settings", "System", "Utility"};

}  // namespace

std::optional<std::string> packageNameFromBundleName(const std::string& bundleName) {
  std::string name;
  for (char c : bundleName) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool kept = isLowerAlnum(lower) || lower == '+' || lower == '.';
    if (kept) {
      name += lower;
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && !isLowerAlnum(name.back())) name.pop_back();
  if (name.size() < 2) return std::nullopt;
  return name;
}

void checkPackageName(const std::string& name) {
  const bool fits = name.size() >= 2 && isLowerAlnum(name.front()) &&
                    std::all_of(name.begin(), name.end(), [](char c) {
                      return isLowerAlnum(c) || c == '+' || c == '-' || c == '.';
                    });
  if (!fits) {
    throw UsageError("the package name '" + name + "' is not one the package formats take: " +
                     "two or more of a-z, 0-9, '+', '-' and '.', starting with a letter or " +
                     "digit. Choose another with --package-name.");
  }
}

void checkCommandName(const std::string& command) {
  if (command.empty() || command.front() == '.' || command.front() == '-' ||
      !allOf(command, "+-._")) {
    throw UsageError("the command name '" + command + "' cannot be a program in /usr/bin: use " +
                     "letters, digits, '+', '-', '.' and '_', not starting with '.' or '-'.");
  }
}

std::string mapVersion(const std::string& version, PackageFormat format) {
  std::string mapped = version;
  constexpr std::string_view kSnapshot = "-SNAPSHOT";
  if (mapped.ends_with(kSnapshot)) {
    mapped.replace(mapped.size() - kSnapshot.size(), 1, "~");
  }
  const bool deb = format == PackageFormat::kDeb;
  const std::string allowed = deb ? ".+~-" : ".+~^_";
  std::string rule = deb ? "a Debian version starts with a digit and holds only letters, digits "
                           "and '.', '+', '~', '-'"
                         : "an RPM version starts with a digit and holds only letters, digits "
                           "and '.', '+', '~', '^', '_' (no '-')";
  if (mapped.empty() || !std::isdigit(static_cast<unsigned char>(mapped.front())) ||
      !allOf(mapped, allowed)) {
    throw Failure("the bundle's version '" + version + "' (CFBundleShortVersionString) cannot " +
                  "be a package version: " + rule + ". Make the bundle again with a version " +
                  "such as 1.2.0.");
  }
  return mapped;
}

void checkRelease(const std::string& release) {
  if (release.empty() || !std::isdigit(static_cast<unsigned char>(release.front())) ||
      !allOf(release, ".+~")) {
    throw UsageError("--release '" + release + "' is not a release: give a number such as 1 " +
                     "(letters, digits, '.', '+' and '~' after it).");
  }
}

FileType parseFileType(const std::string& given) {
  const size_t colon = given.find(':');
  const size_t second = colon == std::string::npos ? colon : given.find(':', colon + 1);
  FileType type;
  if (colon != std::string::npos) {
    type.extension = given.substr(0, colon);
    type.mimeType = given.substr(colon + 1, second == std::string::npos ? second : second - colon - 1);
    if (second != std::string::npos) type.description = given.substr(second + 1);
  }
  if (type.extension.starts_with(".")) type.extension.erase(0, 1);
  const size_t slash = type.mimeType.find('/');
  const bool mimeFits = slash != std::string::npos && slash > 0 && slash + 1 < type.mimeType.size() &&
                        type.mimeType.find('/', slash + 1) == std::string::npos &&
                        allOf(type.mimeType, "/!#$&^_.+-");
  if (type.extension.empty() || !allOf(type.extension, "_+-.") || !mimeFits ||
      (type.description && type.description->empty())) {
    throw UsageError("--file-type '" + given + "' is not EXT:MIME[:DESCRIPTION], such as " +
                     "'vers:application/x-versions:Version list' (EXT letters and digits, " +
                     "MIME a type/subtype).");
  }
  return type;
}

std::string parseUrlScheme(const std::string& given) {
  std::string scheme = given;
  if (scheme.ends_with(":")) scheme.pop_back();
  if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front())) ||
      !allOf(scheme, "+-.")) {
    throw UsageError("--url-scheme '" + given + "' is not a URL scheme: a letter, then letters, " +
                     "digits, '+', '-' and '.'.");
  }
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme;
}

void checkCategory(const std::string& category) {
  for (const char* known : kMainCategories) {
    if (category == known) return;
  }
  std::string list;
  for (const char* known : kMainCategories) list += std::string(list.empty() ? "" : ", ") + known;
  throw UsageError("--category '" + category + "' is not a main menu category; choose one of " +
                   list + ".");
}

std::optional<int> javaFeatureRelease(const std::string& minVersion) {
  std::string text = minVersion;
  if (text.starts_with("1.")) text.erase(0, 2);
  int feature = 0;
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) &&
         digits < 4) {
    feature = feature * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || feature == 0) return std::nullopt;
  return feature;
}

std::string packageFileName(const PackageRequest& request) {
  if (request.format == PackageFormat::kDeb) {
    return request.name + "_" + request.version + "-" + request.release + "_amd64.deb";
  }
  return request.name + "-" + request.version + "-" + request.release + ".x86_64.rpm";
}

std::string PackageRequest::summary() const {
  if (description) {
    std::string first = description->substr(0, description->find('\n'));
    if (!first.empty()) return first;
  }
  return "Java application: " + bundle.displayName;
}

}  // namespace bundler
