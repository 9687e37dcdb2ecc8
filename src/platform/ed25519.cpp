#include "platform/ed25519.h"

#include <nettle/eddsa.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>

#include "platform/base64.h"

namespace platform::ed25519 {
namespace {

template <size_t N>
std::optional<std::array<uint8_t, N>> fixedFromText(std::string_view text) {
  auto bytes = base64Decode(text);
  if (!bytes || bytes->size() != N) return std::nullopt;
  std::array<uint8_t, N> out;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

const uint8_t* bytesOf(std::string_view message) {
  return reinterpret_cast<const uint8_t*>(message.data());
}

}  // namespace

std::optional<Seed> generateSeed() {
  Seed seed;
  size_t got = 0;
  while (got < seed.size()) {
    ssize_t n = ::getrandom(seed.data() + got, seed.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  return seed;
}

PublicKey publicKeyOf(const Seed& seed) {
  PublicKey key;
  ed25519_sha512_public_key(key.data(), seed.data());
  return key;
}

Signature sign(const Seed& seed, std::string_view message) {
  const PublicKey key = publicKeyOf(seed);
  Signature signature;
  ed25519_sha512_sign(key.data(), seed.data(), message.size(), bytesOf(message), signature.data());
  return signature;
}

bool verify(const PublicKey& key, std::string_view message, const Signature& signature) {
  return ed25519_sha512_verify(key.data(), message.size(), bytesOf(message), signature.data()) == 1;
}

std::string toText(const uint8_t* bytes, size_t length) { return base64Encode(bytes, length); }

std::optional<Seed> seedFromText(std::string_view text) { return fixedFromText<kSeedSize>(text); }
std::optional<PublicKey> publicKeyFromText(std::string_view text) {
  return fixedFromText<kPublicKeySize>(text);
}
std::optional<Signature> signatureFromText(std::string_view text) {
  return fixedFromText<kSignatureSize>(text);
}

}  // namespace platform::ed25519
