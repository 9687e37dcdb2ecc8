// libplist as the launchers used it, for tests that compare the readers with it.
#pragma once

#include <optional>
#include <string>

#include "platform/plist.h"

namespace testing_support {

// The value libplist reads from `bytes`, converted as the launchers converted it (nesting past
// 512 levels and binary keys holding U+0000 refused); absent when it refuses them.
std::optional<plist::Value> libplistParse(const std::string& bytes);
// libplist's binary form of the XML list `xml`; empty when libplist cannot read it.
std::string libplistBinary(const std::string& xml);

}  // namespace testing_support
