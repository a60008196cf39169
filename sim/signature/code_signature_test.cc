#include "sim/signature/code_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/signature/test_identities.h"

namespace sim::signature {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

const std::vector<uint8_t> kProgram =
    Bytes(std::string("\x7f"
                      "ELF a small program\0\1\2",
                      24));

std::vector<uint8_t> SignedProgram(TestIdentity identity, const std::string& identifier) {
  return SignedBytes(kProgram, TestSigningIdentity(identity),
                     {identifier, Bytes("<plist/>"), 1765000000});
}

TEST(CodeSignature, EachTestIdentitySignsWhatItSaysAndChainsToTheAnchor) {
  const struct {
    TestIdentity identity;
    const char* team;
    CertificateKind kind;
  } cases[] = {
      {TestIdentity::kMakerDeveloperID, "Q4T7ZK2W9M", CertificateKind::kDeveloperID},
      {TestIdentity::kMakerDevelopment, "Q4T7ZK2W9M", CertificateKind::kDevelopment},
      {TestIdentity::kForeignDeveloperID, "Z9Y8X7W6V5", CertificateKind::kDeveloperID},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.team);
    const std::vector<uint8_t> file = SignedProgram(test.identity, "com.example.tool");
    const SignatureCheck check = CheckSignature(file, TestAnchorKey());
    ASSERT_EQ(check.state, SignatureState::kValid);
    EXPECT_EQ(check.signature->identifier, "com.example.tool");
    EXPECT_EQ(check.signature->team_identifier, test.team);
    EXPECT_EQ(check.signature->certificate_kind, test.kind);
    EXPECT_EQ(check.signature->info_plist, Bytes("<plist/>"));
    EXPECT_EQ(check.signature->signing_time, 1765000000);
    EXPECT_EQ(check.signature->code_directory_hash, Sha1(kProgram));
    EXPECT_EQ(check.signature->chain, TestSigningIdentity(test.identity).chain);
    // Another machine's anchor does not trust it, though nothing was changed.
    PublicKey other_anchor = TestAnchorKey();
    other_anchor[0] ^= 1;
    EXPECT_EQ(CheckSignature(file, other_anchor).state, SignatureState::kUntrusted);
  }
}

TEST(CodeSignature, SigningAgainReplacesTheSignatureAndKeepsTheProgram) {
  const std::vector<uint8_t> first = SignedProgram(TestIdentity::kForeignDeveloperID, "a");
  const std::vector<uint8_t> second = SignedBytes(
      first, TestSigningIdentity(TestIdentity::kMakerDeveloperID), {"b", {}, 1765000001});
  const std::span<const uint8_t> program = ProgramBytes(second);
  EXPECT_EQ(std::vector<uint8_t>(program.begin(), program.end()), kProgram);
  const SignatureCheck check = CheckSignature(second, TestAnchorKey());
  ASSERT_EQ(check.state, SignatureState::kValid);
  EXPECT_EQ(check.signature->identifier, "b");
  EXPECT_EQ(check.signature->team_identifier, "Q4T7ZK2W9M");
  EXPECT_TRUE(check.signature->info_plist.empty());
}

TEST(CodeSignature, ChangingAnyByteBreaksTheSignature) {
  const std::vector<uint8_t> file = SignedProgram(TestIdentity::kMakerDeveloperID, "x");
  for (size_t at = 0; at < file.size(); ++at) {
    std::vector<uint8_t> changed = file;
    changed[at] ^= 0x20;
    const SignatureState state = CheckSignature(changed, TestAnchorKey()).state;
    ASSERT_NE(state, SignatureState::kValid) << "byte " << at;
    if (at < kProgram.size()) {
      ASSERT_EQ(state, SignatureState::kModified) << "byte " << at;
    }
  }
  // Appending to a signed file leaves it without a trailer: unsigned.
  std::vector<uint8_t> appended = file;
  appended.push_back('!');
  EXPECT_EQ(CheckSignature(appended, TestAnchorKey()).state, SignatureState::kUnsigned);
}

TEST(CodeSignature, UnsignedAndMalformedFilesSaySo) {
  EXPECT_EQ(CheckSignature(kProgram, TestAnchorKey()).state, SignatureState::kUnsigned);
  EXPECT_EQ(CheckSignature({}, TestAnchorKey()).state, SignatureState::kUnsigned);
  // A trailer that claims more bytes than the file has, or none at all.
  for (const std::string& trailer :
       {std::string("\xff\xff\xff\x0f"
                    "DVCSIG01",
                    12),
        std::string("\0\0\0\0DVCSIG01", 12), std::string("\x04\0\0\0DVCSIG01", 12)}) {
    std::vector<uint8_t> file = Bytes("abcd");
    file.insert(file.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(CheckSignature(file, TestAnchorKey()).state, SignatureState::kMalformed);
    EXPECT_FALSE(CheckSignature(file, TestAnchorKey()).signature.has_value());
  }
}

}  // namespace
}  // namespace sim::signature
