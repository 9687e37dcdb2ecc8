// The update options of `create`: the feed's address, the public key and the interval, checked
// and written as the Info.plist keys the launcher reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bundler/command_line.h"
#include "platform/plist.h"

namespace bundler {

std::vector<OptionSyntax> updateOptionSyntax();
// Adds "qmk.updateURL", "qmk.updateKey" and "qmk.updateInterval" to `info` as the options ask;
// UsageError when only one of address and key is given or a value is malformed.
void addUpdateKeys(const ParsedOptions& options, plist::Dictionary& info);

// A whole decimal number, the whole of `text`; absent otherwise.
std::optional<int64_t> wholeNumber(std::string_view text);

}  // namespace bundler
