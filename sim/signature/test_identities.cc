#include "sim/signature/test_identities.h"
#include "core/foundation/hex_text.h"

#include <stdexcept>
#include <utility>

namespace sim::signature {
namespace {

// TEST KEYS (Ed25519 seeds). Never trust them outside a simulated machine.
constexpr std::string_view kRootSeed =
    "2e0cd131c3f7b7f134095ad88b9ccafa6a1116595feef028adeac02b4245cbc2";
constexpr std::string_view kDeveloperIDAuthoritySeed =
    "4303494e08357c7d85483357c15d4577a2369055af318b22c6dc1de587dd11d3";
constexpr std::string_view kDevelopmentAuthoritySeed =
    "97f2f3fd3e852ce4727d4241d4c5986e1272bae848b084f5607d82c4f438f464";
constexpr std::string_view kMakerDeveloperIDSeed =
    "630b9092c960319bad440c1dcd28d0e3154bc947a48d7583c4124e987d0adcaa";
constexpr std::string_view kMakerDevelopmentSeed =
    "08bf32358277597816f3ca8617f84566e7eca44d01e5d7227ec5cb763444f70f";
constexpr std::string_view kForeignDeveloperIDSeed =
    "0d06da6914ca8b5ba1473492a350f7d913b2a21630c9c80df9e918905753c186";

constexpr std::pair<std::string_view, TestIdentity> kNames[] = {
    {"maker-developer-id", TestIdentity::kMakerDeveloperID},
    {"maker-development", TestIdentity::kMakerDevelopment},
    {"foreign-developer-id", TestIdentity::kForeignDeveloperID},
};

PrivateKey Seed(std::string_view hex) {
  PrivateKey key{};
  if (!mcom::ParseHex(hex, key)) throw std::logic_error("a test key seed is not hex");
  return key;
}

Certificate Unsigned(std::string common_name, std::string unit, std::vector<std::string> fields,
                     const PrivateKey& key) {
  return Certificate{
      std::move(common_name), std::move(unit), std::move(fields), PublicKeyOf(key), {}};
}

}  // namespace

std::optional<TestIdentity> TestIdentityNamed(std::string_view name) {
  for (const auto& [known, identity] : kNames) {
    if (known == name) return identity;
  }
  return std::nullopt;
}

std::vector<std::string_view> TestIdentityNames() {
  std::vector<std::string_view> names;
  for (const auto& entry : kNames) names.push_back(entry.first);
  return names;
}

SigningIdentity TestSigningIdentity(TestIdentity identity) {
  const PrivateKey root_key = Seed(kRootSeed);
  const Certificate root =
      Issued(Unsigned("Apple Root CA", "Apple Certification Authority", {}, root_key), root_key);
  const bool development = identity == TestIdentity::kMakerDevelopment;
  const PrivateKey authority_key =
      Seed(development ? kDevelopmentAuthoritySeed : kDeveloperIDAuthoritySeed);
  const Certificate authority = Issued(
      development
          ? Unsigned("Apple Worldwide Developer Relations Certification Authority",
                     "Apple Certification Authority", {"1.2.840.113635.100.6.2.1"}, authority_key)
          : Unsigned("Developer ID Certification Authority", "Apple Certification Authority",
                     {"1.2.840.113635.100.6.2.6"}, authority_key),
      root_key);
  SigningIdentity signer;
  switch (identity) {
    case TestIdentity::kMakerDeveloperID:
      signer.key = Seed(kMakerDeveloperIDSeed);
      signer.chain.push_back(Unsigned("Developer ID Application: Halvex Software (Q4T7ZK2W9M)",
                                      "Q4T7ZK2W9M", {kDeveloperIDField}, signer.key));
      break;
    case TestIdentity::kMakerDevelopment:
      signer.key = Seed(kMakerDevelopmentSeed);
      signer.chain.push_back(Unsigned("Apple Development: Halvex Software (Q4T7ZK2W9M)",
                                      "Q4T7ZK2W9M", {kDevelopmentField}, signer.key));
      break;
    case TestIdentity::kForeignDeveloperID:
      signer.key = Seed(kForeignDeveloperIDSeed);
      signer.chain.push_back(Unsigned("Developer ID Application: Foreign Maker (Z9Y8X7W6V5)",
                                      "Z9Y8X7W6V5", {kDeveloperIDField}, signer.key));
      break;
  }
  signer.chain.front() = Issued(std::move(signer.chain.front()), authority_key);
  signer.chain.push_back(authority);
  signer.chain.push_back(root);
  return signer;
}

PublicKey TestAnchorKey() { return PublicKeyOf(Seed(kRootSeed)); }

}  // namespace sim::signature
