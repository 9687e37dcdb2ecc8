// Where create and installer put the bundle, from --out: a path ending in ".app" is the bundle
// itself; any other names the folder the bundle NAME.app goes into, created when missing.
#pragma once

#include <optional>
#include <string>

namespace bundler {

// The absolute path of the bundle `name`.app for `out` (./NAME.app without it). Failure when
// `out` names something that is not a folder (a file, a link to nothing); UsageError when it
// is empty. Creates nothing: StagedOutput creates the missing folders.
std::string bundlePlace(const std::optional<std::string>& out, const std::string& name);

}  // namespace bundler
