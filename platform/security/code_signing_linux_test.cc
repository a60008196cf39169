#include "platform/security/code_signing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/code_signature.h"
#include "sim/signature/test_identities.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

namespace cf = mcom::cf;
namespace signature = sim::signature;

// The requirement the helper places on its callers, for the given certificate field.
std::string MakersRequirement(const char* field) {
  return std::string(
             "anchor apple generic and anchor trusted  and certificate leaf "
             "[subject.OU] = \"Q4T7ZK2W9M\" and certificate leaf [field.") +
         field + "]";
}

class CodeSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::testing::MakeTestMachine(folder_.Join("mac"));
    mcom::SetSystemRoot(folder_.Join("mac"));
  }
  void TearDown() override { mcom::SetSystemRoot(mcom::FilePath("/")); }

  // A copy of a real program, signed by `identity` unless it is null.
  mcom::FilePath Program(const std::string& name, std::optional<signature::TestIdentity> identity) {
    const mcom::FilePath path = folder_.Join(name);
    std::filesystem::copy_file("/bin/true", path.string());
    if (identity) {
      const std::string program = ::testing::TemporaryFolder::ReadFile(path);
      const std::string info =
          "<plist version=\"1.0\"><dict><key>CFBundleVersion</key>"
          "<string>12</string></dict></plist>";
      const std::vector<uint8_t> signed_bytes = signature::SignedBytes(
          std::vector<uint8_t>(program.begin(), program.end()),
          signature::TestSigningIdentity(*identity),
          {"com.halvex-software.Dorvane", {info.begin(), info.end()}, 1765000000});
      folder_.WriteFile(name, std::string(signed_bytes.begin(), signed_bytes.end()));
    }
    return path;
  }

  // The status of a static check of `path` with flags 24 and the requirement `text` (none
  // when empty); the error object's code must agree.
  OSStatus Check(const mcom::FilePath& path, const std::string& text) {
    SecStaticCodeRef code = nullptr;
    const OSStatus created =
        SecStaticCodeCreateWithPath(cf::URL::CreateFromFileSystemPath(path, false), 0, &code);
    if (created != errSecSuccess) return created;
    SecRequirementRef requirement = nullptr;
    if (!text.empty()) {
      EXPECT_EQ(SecRequirementCreateWithStringAndErrors(cf::String::Create(text), 0, nullptr,
                                                        &requirement),
                errSecSuccess);
    }
    cf::Ref<cf::Error> error;
    const OSStatus status = SecStaticCodeCheckValidityWithErrors(
        code, kSecCSCheckNestedCode | kSecCSStrictValidate, requirement, &error);
    EXPECT_EQ(status == errSecSuccess ? 0 : error->code(), status);
    CFRelease(requirement);
    CFRelease(code);
    return status;
  }

  ::testing::TemporaryFolder folder_;
};

TEST_F(CodeSigningTest, AcceptsOnlyIntactCodeOfTheMakerThatTheRequirementNames) {
  const std::string developer_id = MakersRequirement(signature::kDeveloperIDField);
  const mcom::FilePath maker = Program("maker", signature::TestIdentity::kMakerDeveloperID);
  EXPECT_EQ(Check(maker, ""), errSecSuccess);
  EXPECT_EQ(Check(maker, developer_id), errSecSuccess);
  EXPECT_EQ(Check(maker, developer_id + " and identifier \"com.halvex-software.Dorvane\" and "
                                        "info [CFBundleVersion] >= 12"),
            errSecSuccess);
  EXPECT_EQ(Check(maker, developer_id + " and identifier other"), errSecCSReqFailed);
  EXPECT_EQ(Check(maker, MakersRequirement(signature::kDevelopmentField)), errSecCSReqFailed);

  const mcom::FilePath development = Program("dev", signature::TestIdentity::kMakerDevelopment);
  EXPECT_EQ(Check(development, MakersRequirement(signature::kDevelopmentField)), errSecSuccess);
  EXPECT_EQ(Check(development, developer_id), errSecCSReqFailed);
  EXPECT_EQ(Check(Program("foreign", signature::TestIdentity::kForeignDeveloperID), developer_id),
            errSecCSReqFailed);
  EXPECT_EQ(Check(Program("plain", std::nullopt), ""), errSecCSUnsigned);
  EXPECT_EQ(Check(folder_.Join("missing"), ""), errSecCSStaticCodeNotFound);

  // A changed byte, and a machine that trusts another root.
  std::string bytes = ::testing::TemporaryFolder::ReadFile(maker);
  bytes[100] ^= 1;
  EXPECT_EQ(Check(folder_.WriteFile("changed", bytes), ""), errSecCSSignatureFailed);
  sim::Machine(folder_.Join("mac")).Change([](sim::Model& model) {
    sim::ApplySetting(model, "trusted-anchor", std::string(64, 'a'));
  });
  EXPECT_EQ(Check(maker, ""), errSecCSSignatureUntrusted);
}

TEST_F(CodeSigningTest, SigningInformationSaysWhatTheSignatureSays) {
  const mcom::FilePath maker = Program("maker", signature::TestIdentity::kMakerDeveloperID);
  SecStaticCodeRef code = nullptr;
  ASSERT_EQ(SecStaticCodeCreateWithPath(cf::URL::CreateFromFileSystemPath(maker, false), 0, &code),
            errSecSuccess);
  cf::Ref<cf::Dictionary> information;
  ASSERT_EQ(SecCodeCopySigningInformation(code, kSecCSSigningInformation, &information),
            errSecSuccess);
  EXPECT_EQ(cf::GetString(information, kSecCodeInfoIdentifier), "com.halvex-software.Dorvane");
  EXPECT_EQ(cf::GetString(information, kSecCodeInfoTeamIdentifier), "Q4T7ZK2W9M");
  EXPECT_EQ(information->Get<cf::URL>(kSecCodeInfoMainExecutable)->path(), maker);
  EXPECT_EQ(cf::GetString(cf::GetDictionary(information, kSecCodeInfoPList), "CFBundleVersion"),
            "12");
  EXPECT_EQ(information->Get<cf::Date>(kSecCodeInfoTimestamp)->SecondsSince1970(), 1765000000);
  const std::string program = ::testing::TemporaryFolder::ReadFile(mcom::FilePath("/bin/true"));
  const signature::Sha1Digest hash =
      signature::Sha1(std::vector<uint8_t>(program.begin(), program.end()));
  EXPECT_EQ(information->GetData(kSecCodeInfoUnique)->AsStringView(),
            std::string(hash.begin(), hash.end()));
  // Without the signing-information flag the team is not given.
  ASSERT_EQ(SecCodeCopySigningInformation(code, 0, &information), errSecSuccess);
  EXPECT_FALSE(cf::GetString(information, kSecCodeInfoTeamIdentifier).has_value());
  EXPECT_EQ(SecCodeCopySigningInformation(code, 1u << 8, &information), errSecCSInvalidFlags);
  CFRelease(code);
}

TEST_F(CodeSigningTest, TheRunningProcessAndBadRequirements) {
  // This test program is not signed: the running code is found, with no identifier.
  SecCodeRef self = nullptr;
  ASSERT_EQ(SecCodeCopySelf(0, &self), errSecSuccess);
  cf::Ref<cf::Error> error;
  EXPECT_EQ(SecCodeCheckValidityWithErrors(self, 0, nullptr, &error), errSecCSUnsigned);
  EXPECT_EQ(error->Description(), "Error Domain=NSOSStatusErrorDomain Code=-67062 \"(null)\"");
  // A running-code check takes no nested-code flag.
  EXPECT_EQ(SecCodeCheckValidityWithErrors(self, kSecCSCheckNestedCode, nullptr, nullptr),
            errSecCSInvalidFlags);
  cf::Ref<cf::Dictionary> information;
  ASSERT_EQ(SecCodeCopySigningInformation(self, kSecCSSigningInformation, &information),
            errSecSuccess);
  EXPECT_FALSE(cf::GetString(information, kSecCodeInfoIdentifier).has_value());
  EXPECT_TRUE(information->Get<cf::URL>(kSecCodeInfoMainExecutable));
  EXPECT_EQ(CFRetain(self), self);
  CFRelease(self);
  CFRelease(self);

  SecRequirementRef requirement = nullptr;
  EXPECT_EQ(SecRequirementCreateWithStringAndErrors(cf::String::Create("anchor apple and"), 0,
                                                    &error, &requirement),
            errSecCSReqInvalid);
  EXPECT_EQ(requirement, nullptr);
  EXPECT_EQ(error->Description(),
            "Error Domain=NSOSStatusErrorDomain Code=-67052 \"(null)\" "
            "UserInfo={SecRequirementSyntax=line 1:17: unexpected end of text}");
}

}  // namespace
}  // namespace platform
