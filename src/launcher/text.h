// Plain text replacement, the one way configuration strings are rewritten.
#pragma once

#include <string>
#include <string_view>

namespace qmk {

// Every occurrence of `from` in `text` replaced by `to`, left to right, without overlaps; the
// inserted text is not scanned again.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);

// "$APP_PACKAGE" replaced by the bundle path wherever it stands.
std::string replaceAppPackage(std::string_view text, std::string_view bundlePath);

}  // namespace qmk
