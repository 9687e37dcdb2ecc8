// The version a bundle declares (CFBundleShortVersionString and CFBundleVersion): given with
// --version, else the main jar's Implementation-Version, else 1.0. Packages and updates compare
// it, so only a plain form is taken.
#pragma once

#include <optional>
#include <string>

#include "bundler/command_line.h"
#include "bundler/jar.h"

namespace bundler {

constexpr const char* kDefaultVersion = "1.0";

// Why `version` is not usable (1 to 64 letters, digits and ".+~-_", beginning with a digit);
// absent when it is.
std::optional<std::string> versionProblem(const std::string& version);

// The version of the bundle: --version (UsageError when it is not usable), else the
// Implementation-Version of `mainJar`'s manifest when usable (a warning under `command` when
// it is not), else kDefaultVersion.
std::string appVersion(const ParsedOptions& options, const Jar& mainJar, const std::string& command);

}  // namespace bundler
