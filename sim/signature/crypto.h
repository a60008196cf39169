#pragma once

// The two primitives of the simulated Mac's code signatures: Ed25519 signatures (keys are
// given by their 32-byte seeds) and SHA-1 digests.

#include <array>
#include <cstdint>
#include <span>

namespace sim::signature {

using PrivateKey = std::array<uint8_t, 32>;
using PublicKey = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using Sha1Digest = std::array<uint8_t, 20>;

PublicKey PublicKeyOf(const PrivateKey& key);
Signature Sign(const PrivateKey& key, std::span<const uint8_t> message);
bool Verify(const PublicKey& key, std::span<const uint8_t> message, const Signature& signature);
Sha1Digest Sha1(std::span<const uint8_t> bytes);

// Keys and digests as text: mcom::HexOf and mcom::ParseHex (core/foundation/hex_text.h).

}  // namespace sim::signature
