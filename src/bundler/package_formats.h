// The two package formats, each made by its distribution's own tools from the staged tree:
// dpkg-deb and dpkg-shlibdeps for Debian, rpmbuild for RPM.
#pragma once

#include <map>
#include <string>

#include "bundler/package_request.h"
#include "bundler/package_staging.h"

namespace bundler {

// Builds the package in `workDir` (a private folder the caller removes) and returns the path of
// the package file there. Failure quoting the tool when one of them refuses.
std::string buildDeb(const PackageRequest& request, const StagedTree& tree,
                     const std::string& workDir);
std::string buildRpm(const PackageRequest& request, const StagedTree& tree,
                     const std::string& workDir);

// The environment the tools run with, so that what they stamp is the package's fixed time.
std::map<std::string, std::string> reproducibleEnvironment(const PackageRequest& request);

}  // namespace bundler
