// Which packages a runtime's modules hold, read from the index of its module image (lib/modules)
// without starting it: a full JDK answers in milliseconds, where asking java takes a start.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace bundler {

// "module/package" for every package of every module in the runtime at `home` (a runtime home
// with lib/modules), such as "java.base/java.lang"; absent when there is no image or it does
// not read as one.
std::optional<std::set<std::string>> runtimePackages(const std::string& home);

}  // namespace bundler
