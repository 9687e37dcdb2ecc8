#include "platform/base64.h"

namespace platform {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

int base64DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string base64Encode(const uint8_t* bytes, size_t length) {
  std::string text;
  text.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (i + 1 < length ? bytes[i + 1] << 8 : 0) |
                       (i + 2 < length ? bytes[i + 2] : 0);
    text += kAlphabet[(n >> 18) & 63];
    text += kAlphabet[(n >> 12) & 63];
    text += i + 1 < length ? kAlphabet[(n >> 6) & 63] : '=';
    text += i + 2 < length ? kAlphabet[n & 63] : '=';
  }
  return text;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int d[4];
    int padding = 0;
    for (int k = 0; k < 4; k++) {
      const char c = text[i + static_cast<size_t>(k)];
      if (c == '=' && last && k >= 2) {
        padding++;
        d[k] = 0;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a digit after padding
      d[k] = base64DigitValue(c);
      if (d[k] < 0) return std::nullopt;
    }
    const uint32_t n =
        (uint32_t(d[0]) << 18) | (uint32_t(d[1]) << 12) | (uint32_t(d[2]) << 6) | uint32_t(d[3]);
    bytes.push_back(static_cast<uint8_t>(n >> 16));
    if (padding < 2) bytes.push_back(static_cast<uint8_t>(n >> 8));
    if (padding < 1) bytes.push_back(static_cast<uint8_t>(n));
    // Bits below the padding must be zero, so that each byte string has one spelling.
    if ((padding == 1 && (n & 0xff) != 0) || (padding == 2 && (n & 0xffff) != 0)) {
      return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace platform
