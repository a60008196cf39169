#pragma once

// The fixed signing identities of the simulated Mac. THESE ARE TEST KEYS: their private
// halves are in this source tree for anybody to read, so nothing but a simulated machine may
// ever trust them.
//
// One root stands in for the platform maker's root certificate authority and is the anchor
// every simulated machine trusts; below it, an intermediate for each certificate kind; below
// those, the leaves: the maker's Developer ID and development certificates (team
// "Q4T7ZK2W9M") and a foreign maker's Developer ID certificate (team "Z9Y8X7W6V5").

#include <optional>
#include <string_view>
#include <vector>

#include "sim/signature/code_signature.h"

namespace sim::signature {

enum class TestIdentity { kMakerDeveloperID, kMakerDevelopment, kForeignDeveloperID };

// "maker-developer-id", "maker-development", "foreign-developer-id".
std::optional<TestIdentity> TestIdentityNamed(std::string_view name);
std::vector<std::string_view> TestIdentityNames();

SigningIdentity TestSigningIdentity(TestIdentity identity);

// The public key of the test root: the trusted anchor of every simulated machine.
PublicKey TestAnchorKey();

}  // namespace sim::signature
