// The readers behind plist::parse, one per form of a property list. Internal to the platform
// layer: callers use plist.h.
#pragma once

#include <string_view>

#include "platform/plist.h"

namespace plist::detail {

// Real documents nest a handful of levels; a limit far beyond them keeps a hostile one, a few
// hundred kilobytes of opening tags, from exhausting the stack of every walk over the tree.
// A container inside kMaxNesting others is too deep.
constexpr int kMaxNesting = 512;

// Seconds between 1970-01-01 and the property lists' reference date, 2001-01-01 (UTC).
constexpr double kReferenceDateOffset = 978307200.0;

inline constexpr std::string_view kBinaryMagic = "bplist";

// The reason words shared by both readers.
inline constexpr std::string_view kTooDeep = "nesting deeper than 512 levels";

Reading readXml(std::string_view bytes);
Reading readBinary(std::string_view bytes);

}  // namespace plist::detail
