// Base64 text of bytes (the standard alphabet, with padding), as keys and signatures travel in
// files that people copy by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The value of one digit of the standard alphabet, or -1 for any other character.
int base64DigitValue(char c);

std::string base64Encode(const uint8_t* bytes, size_t length);
// The bytes that strict base64 text spells: the standard alphabet, padded to a multiple of four,
// no white space. Absent for any other text.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace platform
