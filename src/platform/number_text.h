// Real numbers to and from text the same way in every locale: the installer's window library
// may switch the process to a locale whose decimal point is a comma.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The shortest text that reads back as exactly `v`, fixed or scientific, whichever is shorter
// (fixed on a tie): "0.1", "100", "1e+22", "1e-05", "-0", "inf", "nan".
std::string shortestNumberText(double v);

// The whole of `text` read as the C library reads a number in the C locale; absent when any of
// it is left over. Out of range gives the nearest value (an infinity or zero).
std::optional<double> numberFromText(std::string_view text);

}  // namespace platform
