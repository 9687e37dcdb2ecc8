// SHA-256 digests, computed piece by piece (nettle's implementation, linked in), and their
// hexadecimal text.
#pragma once

#include <nettle/sha2.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using Sha256Digest = std::array<uint8_t, SHA256_DIGEST_SIZE>;

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t length);
  // The digest of everything given so far; the hash starts afresh afterwards.
  Sha256Digest finish();

 private:
  sha256_ctx context_;
};

// 64 lower-case hexadecimal digits.
std::string toHex(const Sha256Digest& digest);
// The digest that 64 hexadecimal digits (either case) spell; absent for any other text.
std::optional<Sha256Digest> parseSha256Hex(std::string_view text);

}  // namespace platform
