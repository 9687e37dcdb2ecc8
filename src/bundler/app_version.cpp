#include "bundler/app_version.h"

#include <algorithm>
#include <cctype>

#include "bundler/ascii_text.h"
#include "bundler/failure.h"

namespace bundler {

namespace {

constexpr size_t kLongestVersion = 64;
constexpr const char* kImplementationVersion = "implementation-version";

// ASCII only, whatever the locale says a letter is: versions are compared by programs.
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool isVersionCharacter(char c) {
  return isAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+' || c == '~' || c == '-' || c == '_';
}

// The manifest's Implementation-Version, its name matched without regard to case as the jar
// tool does; absent when there is none or it is blank.
std::optional<std::string> implementationVersion(const Jar& jar) {
  auto attributes = jar.manifest();
  if (!attributes) return std::nullopt;
  for (const auto& [name, value] : *attributes) {
    if (lowered(name) == kImplementationVersion && !trimmed(value).empty()) return trimmed(value);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> versionProblem(const std::string& version) {
  if (version.empty()) return "it is empty";
  if (version.size() > kLongestVersion) {
    return "it has " + std::to_string(version.size()) + " characters, more than " +
           std::to_string(kLongestVersion);
  }
  auto bad = std::find_if_not(version.begin(), version.end(), isVersionCharacter);
  if (bad != version.end()) {
    const unsigned char c = static_cast<unsigned char>(*bad);
    const std::string shown = c >= 0x21 && c < 0x7f ? "'" + std::string(1, *bad) + "'"
                              : c == ' '            ? "a blank"
                                                    : "a character other than printable ASCII";
    return "it holds " + shown + "; only letters, digits and . + ~ - _ may appear";
  }
  if (!isAsciiDigit(version.front())) {
    return "it must begin with a digit";
  }
  return std::nullopt;
}

std::string appVersion(const ParsedOptions& options, const Jar& mainJar, const std::string& command) {
  if (auto given = options.value("version")) {
    if (auto problem = versionProblem(*given)) {
      throw UsageError("--version '" + *given + "' cannot be used: " + *problem +
                       ". Give a version such as 2.1.0 or 1.4.2-beta.");
    }
    return *given;
  }
  auto fromManifest = implementationVersion(mainJar);
  if (!fromManifest) return kDefaultVersion;
  if (auto problem = versionProblem(*fromManifest)) {
    warn(command, "the Implementation-Version '" + *fromManifest + "' in the manifest of " +
                      mainJar.path() + " cannot be used (" + *problem + "); the bundle gets " +
                      kDefaultVersion + ". Give --version to choose it.");
    return kDefaultVersion;
  }
  return *fromManifest;
}

}  // namespace bundler
