// Converting another launcher's Info.plist into ours: the "Java" and "JavaX" dictionaries and the
// top-level JVM* keys become the JavaVM dictionary and the version bounds; everything else stays.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace bundler {

struct ImportResult {
  plist::Dictionary info;
  // One line per key: what it became, or why it could not be mapped.
  std::vector<std::string> notes;
};

// `bundle`, when known, is the bundle the list belongs to: it tells where the jars really are.
ImportResult importForeignInfo(const plist::Dictionary& foreign,
                               const std::optional<std::string>& bundle);

// The version bounds a JVMVersion text stands for ("1.6+", "1.6*", "1.6", or several of these
// separated by blanks); absent bounds are open. Absent when the text holds none of these forms.
struct VersionBounds {
  std::optional<std::string> min;
  std::optional<std::string> max;
};
std::optional<VersionBounds> boundsOfJvmVersion(const std::string& text);

}  // namespace bundler
