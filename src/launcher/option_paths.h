// Paths named by the launch configuration: the include forms of options files and option arrays,
// and where a configured path is opened.
#pragma once

#include <string>
#include <string_view>

#include "launcher/text.h"

class Launcher;

namespace qmk::config {

// A path written in the configuration: "$APP_PACKAGE" becomes the bundle path and "~" the home
// directory, wherever they stand. A "~" inside the bundle path itself stays: a bundle installed
// below a folder named with "~" must still find its files.
std::string expandConfiguredPath(std::string_view text, const std::string& bundlePath,
                                 const std::string& home);
// The same for a path whose variables have been substituted already: a "~" that a variable
// brought in is the home directory too, but not one inside the bundle path it inserted.
std::string expandConfiguredPath(qmk::MarkedText text, const std::string& bundlePath,
                                 const std::string& home);

// An include path written in double quotes loses them (when it has at least two characters and
// both begins and ends with one); anything else is returned as it stands.
std::string_view stripIncludeQuotes(std::string_view path);

// Where to open `path`. A launcher that records the working directory for a child instead of
// changing its own reads relative paths against that directory, as the child will.
std::string openablePath(const Launcher& launcher, const std::string& path);

}  // namespace qmk::config
