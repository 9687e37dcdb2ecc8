// Ed25519 signatures (nettle's implementation, linked in): the feed of an update is signed with
// a private key that never leaves the publisher, and checked against the public key the
// installed bundle carries.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::ed25519 {

constexpr size_t kSeedSize = 32;
constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;

using Seed = std::array<uint8_t, kSeedSize>;
using PublicKey = std::array<uint8_t, kPublicKeySize>;
using Signature = std::array<uint8_t, kSignatureSize>;

// A new private key from the kernel's random source; absent when it cannot be read.
std::optional<Seed> generateSeed();
PublicKey publicKeyOf(const Seed& seed);
Signature sign(const Seed& seed, std::string_view message);
bool verify(const PublicKey& key, std::string_view message, const Signature& signature);

// The base64 texts that keys and signatures travel as; absent unless the text spells exactly
// the right number of bytes.
std::string toText(const uint8_t* bytes, size_t length);
std::optional<Seed> seedFromText(std::string_view text);
std::optional<PublicKey> publicKeyFromText(std::string_view text);
std::optional<Signature> signatureFromText(std::string_view text);

}  // namespace platform::ed25519
