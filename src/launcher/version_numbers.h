// The numeric reading of a version token or component: leading white space, an optional sign,
// then the leading decimal digits (none gives 0), saturated rather than wrapped.
#pragma once

#include <cstdint>
#include <string_view>

namespace qmk {

int64_t numericValue(std::string_view s);
// The same, saturated at the 32-bit limits.
int32_t numericValue32(std::string_view s);

}  // namespace qmk
