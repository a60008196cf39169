#pragma once

// The two primitives of the simulated Mac's code signatures: Ed25519 signatures (keys are
// given by their 32-byte seeds) and SHA-1 digests.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sim::signature {

using PrivateKey = std::array<uint8_t, 32>;
using PublicKey = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using Sha1Digest = std::array<uint8_t, 20>;

PublicKey PublicKeyOf(const PrivateKey& key);
Signature Sign(const PrivateKey& key, std::span<const uint8_t> message);
bool Verify(const PublicKey& key, std::span<const uint8_t> message, const Signature& signature);
Sha1Digest Sha1(std::span<const uint8_t> bytes);

// Keys and digests as text: two lowercase hex digits a byte.
std::string HexOf(std::span<const uint8_t> bytes);
// Fills `bytes` from exactly 2 x bytes.size() hex digits (either case); false for anything
// else, `bytes` then left unspecified.
bool ParseHex(std::string_view hex, std::span<uint8_t> bytes);

}  // namespace sim::signature
