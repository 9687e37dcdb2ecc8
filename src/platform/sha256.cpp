#include "platform/sha256.h"

namespace platform {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

std::optional<uint8_t> hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

Sha256::Sha256() { sha256_init(&context_); }

void Sha256::update(const void* data, size_t length) {
  sha256_update(&context_, length, static_cast<const uint8_t*>(data));
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest;
  sha256_digest(&context_, digest.size(), digest.data());
  return digest;
}

std::string toHex(const Sha256Digest& digest) {
  std::string text;
  text.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

std::optional<Sha256Digest> parseSha256Hex(std::string_view text) {
  Sha256Digest digest;
  if (text.size() != digest.size() * 2) return std::nullopt;
  for (size_t i = 0; i < digest.size(); i++) {
    const auto high = hexValue(text[2 * i]);
    const auto low = hexValue(text[2 * i + 1]);
    if (!high || !low) return std::nullopt;
    digest[i] = static_cast<uint8_t>(*high << 4 | *low);
  }
  return digest;
}

}  // namespace platform
