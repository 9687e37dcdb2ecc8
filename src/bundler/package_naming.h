// The rules the package formats set for names, versions and declared types, applied to what the
// developer gave: mapped where the mapping is plain (a lower-case name, "-SNAPSHOT" sorting before
// the release), refused with the rule otherwise.
#pragma once

#include <optional>
#include <string>

#include "bundler/package_request.h"

namespace bundler {

// The package name made from a bundle name: lower case, refused characters become '-'.
// Absent when nothing usable is left.
std::optional<std::string> packageNameFromBundleName(const std::string& bundleName);
// UsageError naming the rule when `name` cannot be a package name in both formats.
void checkPackageName(const std::string& name);
// UsageError when `command` cannot be a file name in /usr/bin.
void checkCommandName(const std::string& command);
// `version` in the format's rules ("1.0-SNAPSHOT" becomes "1.0~SNAPSHOT"); Failure with the
// reason when the format cannot hold it.
std::string mapVersion(const std::string& version, PackageFormat format);
// UsageError when --release is not a release number the formats take.
void checkRelease(const std::string& release);
// "EXT:MIME[:DESCRIPTION]"; UsageError saying what is wrong.
FileType parseFileType(const std::string& given);
// A URL scheme, lower-cased; UsageError when it is not one.
std::string parseUrlScheme(const std::string& given);
// UsageError unless `category` is one of the freedesktop main categories.
void checkCategory(const std::string& category);
// The Java feature release a qmk.minVersion names ("1.8" gives 8, "17+" gives 17).
std::optional<int> javaFeatureRelease(const std::string& minVersion);
// <name>_<version>-<release>_amd64.deb or <name>-<version>-<release>.x86_64.rpm.
std::string packageFileName(const PackageRequest& request);

}  // namespace bundler
