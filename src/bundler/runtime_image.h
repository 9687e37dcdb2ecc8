// The runtime a bundle carries: made by jlink from a JDK with the modules the jars need, or
// copied from a runtime home, and laid out as a runtime bundle (Contents/Info.plist naming its
// version, Contents/Home) where the launcher looks first.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bundler {

// What --runtime asked for.
struct RuntimeChoice {
  enum class Kind { kNone, kJlink, kCopy };
  Kind kind = Kind::kNone;
  std::optional<std::string> path;  // the JDK for jlink (absent: search), the home to copy
};

// "none", "jlink", "jlink=JDK" or a runtime home's path; UsageError for an empty value.
RuntimeChoice parseRuntimeChoice(const std::optional<std::string>& value);

struct RuntimeRequest {
  RuntimeChoice choice;
  std::vector<std::string> jars;        // what jdeps examines
  std::vector<std::string> addModules;  // modules to add to those jdeps reports
  std::optional<std::string> minVersion, maxVersion;  // for choosing a JDK by search
  std::string identifier;               // the runtime bundle's CFBundleIdentifier
};

// Makes the runtime bundle at `bundleDirectory` (which must not exist). Failure with the
// tool's own words when jdeps or jlink fail, or when no JDK is found.
void makeRuntimeBundle(const RuntimeRequest& request, const std::string& bundleDirectory);

// The JDK home jlink runs from: `given` (a JDK home or a runtime bundle) or the newest runtime
// within the bounds the machine's search finds; Failure when it has no jlink and jdeps.
std::string findJdk(const std::optional<std::string>& given,
                    const std::optional<std::string>& minVersion,
                    const std::optional<std::string>& maxVersion);
// The modules the jars need, comma-separated, as jdeps reports them, with `extra` added.
std::string moduleDependencies(const std::string& jdk, const std::vector<std::string>& jars,
                               const std::vector<std::string>& extra);
// The JAVA_VERSION of a runtime home's release file; absent without one.
std::optional<std::string> releaseVersion(const std::string& home);

// The runtime bundle as the gzip-compressed tar the installer's worker extracts into its
// "jre.bundle" directory (entries "Contents/..."), made with GNU tar.
void archiveRuntimeBundle(const std::string& bundleDirectory, const std::string& archive);
// The length of the tar stream inside a gzip file (what the installer's progress counts).
int64_t uncompressedSize(const std::string& gzipFile);
// The SHA-256 of a file in lower-case hex, by sha256sum.
std::string sha256OfFile(const std::string& path);

}  // namespace bundler
