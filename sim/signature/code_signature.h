#pragma once

// Code signatures of the simulated Mac. A signed executable is the program's own bytes
// followed by its signature and a trailer:
//
//   program bytes | signature (a binary property list) | length (4 bytes, little endian) |
//   "DVCSIG01"
//
// The signature holds the code directory (identifier, team identifier, certificate kind,
// embedded information property list, signing time, and the code-directory hash: SHA-1 of
// the program bytes), the leaf key's Ed25519 signature of the code directory, and the
// certificate chain, leaf first, each certificate signed by the next one's key and the anchor
// by its own. A copy of a signed file stays signed; changing any byte breaks the signature.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/signature/crypto.h"

namespace sim::signature {

// The marker fields (extension OIDs) of the two kinds of the maker's leaf certificates.
inline constexpr char kDeveloperIDField[] = "1.2.840.113635.100.6.1.13";
inline constexpr char kDevelopmentField[] = "1.2.840.113635.100.6.1.12";

struct Certificate {
  std::string common_name;
  std::string organizational_unit;  // the team identifier of a maker's leaf
  std::vector<std::string> fields;  // marker OIDs
  PublicKey public_key{};
  Signature issuer_signature{};  // of CertificateBody(), by the issuer's key

  friend bool operator==(const Certificate&, const Certificate&) = default;
};

// The bytes an issuer signs: everything of the certificate but the issuer's signature.
std::vector<uint8_t> CertificateBody(const Certificate& certificate);

// `certificate` with its issuer signature made by `issuer_key`.
Certificate Issued(Certificate certificate, const PrivateKey& issuer_key);

// What a signer holds: the chain (leaf first, anchor last) and the leaf's key.
struct SigningIdentity {
  std::vector<Certificate> chain;
  PrivateKey key{};
};

enum class CertificateKind { kDeveloperID, kDevelopment };

struct CodeSignature {
  std::string identifier;
  std::string team_identifier;                      // empty when the leaf names no team
  std::optional<CertificateKind> certificate_kind;  // from the leaf's marker field
  std::vector<uint8_t> info_plist;                  // empty when none is embedded
  int64_t signing_time = 0;                         // seconds since 1970
  Sha1Digest code_directory_hash{};
  std::vector<Certificate> chain;  // leaf first
};

enum class SignatureState {
  kValid,
  kUnsigned,   // no signature at all
  kMalformed,  // a trailer whose signature cannot be read
  kModified,   // the program or the signature changed after signing
  kUntrusted,  // intact, but its chain does not end at the trusted anchor
};

struct SignatureCheck {
  SignatureState state = SignatureState::kUnsigned;
  std::optional<CodeSignature> signature;  // what it says, unless unsigned or malformed
};

// Reads and checks the signature of a file's bytes against the machine's trusted anchor.
SignatureCheck CheckSignature(std::span<const uint8_t> file, const PublicKey& trusted_anchor);

// The program bytes of a file: without its signature and trailer when it has them.
std::span<const uint8_t> ProgramBytes(std::span<const uint8_t> file);

struct SigningRequest {
  std::string identifier;
  std::vector<uint8_t> info_plist;
  int64_t signing_time = 0;
};

// The file's program bytes signed anew (a signature already there is replaced).
std::vector<uint8_t> SignedBytes(std::span<const uint8_t> file, const SigningIdentity& identity,
                                 const SigningRequest& request);

}  // namespace sim::signature
