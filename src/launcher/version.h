// What the launch core's files share of the version operations: the numeric reading of a token
// or component, and the token ordering with its tokens kept, for sorting many names at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmk {

// Leading white space, an optional sign, then the leading decimal digits (none gives 0),
// saturated rather than wrapped.
int64_t numericValue(std::string_view s);
// The same, saturated at the 32-bit limits.
int32_t numericValue32(std::string_view s);

// A version string split into tokens once, so that sorting n names tokenizes each name once
// rather than at every comparison.
struct VersionToken {
  std::u16string text;
  int64_t type;    // the character class of the token
  int64_t number;  // the numeric value of a digit token
};
using VersionKey = std::vector<VersionToken>;

VersionKey versionKey(std::string_view s);
// -1, 0 or 1 as Launcher::compareVersion gives for the strings of the keys x and y.
int compareVersionKeys(const VersionKey& x, const VersionKey& y) noexcept;

}  // namespace qmk
