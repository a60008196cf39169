#include "platform/security/code_signing.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "platform/posix/process_instance.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/code_signature.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
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
  mcom::FilePath Program(const std::string& name, std::optional<signature::TestIdentity> identity,
                         const char* original = "/bin/true") {
    const mcom::FilePath path = folder_.Join(name);
    if (!identity) {
      std::filesystem::copy_file(original, path.string());
      return path;
    }
    const std::string info =
        "<plist version=\"1.0\"><dict><key>CFBundleVersion</key>"
        "<string>12</string></dict></plist>";
    return signature::testing::WriteSignedCopy(
        mcom::FilePath(original), path, signature::TestSigningIdentity(*identity),
        {"com.halvex-software.Dorvane", {info.begin(), info.end()}, 1765000000});
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

cf::Ref<cf::Dictionary> TokenAttributes(pid_t pid, uint32_t pid_version, size_t size = 32) {
  uint32_t words[8] = {};
  words[5] = static_cast<uint32_t>(pid);
  words[7] = pid_version;
  std::string bytes(reinterpret_cast<const char*>(words), sizeof words);
  bytes.resize(size);
  return cf::Dictionary::Create({{std::string(kSecGuestAttributeAudit), cf::Data::Create(bytes)}});
}

// The guest of an audit token is the process instance that sent it: refused once that
// process has gone, even through a guest object taken while it lived.
TEST_F(CodeSigningTest, FindsGuestsByTheirAuditTokenOnlyWhileTheyLive) {
  const mcom::FilePath sleeper =
      Program("sleeper", signature::TestIdentity::kMakerDeveloperID, "/bin/sleep");
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(sleeper.c_str(), {"30"}, mcom::FileActions());
  ASSERT_TRUE(pid.has_value());
  const uint32_t version = mcom::CurrentPidVersion(*pid);
  ASSERT_NE(version, 0u);

  SecCodeRef guest = nullptr;
  ASSERT_EQ(SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(*pid, version), 0, &guest),
            errSecSuccess);
  SecRequirementRef requirement = nullptr;
  ASSERT_EQ(SecRequirementCreateWithStringAndErrors(
                cf::String::Create(MakersRequirement(signature::kDeveloperIDField)), 0, nullptr,
                &requirement),
            errSecSuccess);
  EXPECT_EQ(SecCodeCheckValidityWithErrors(guest, 0, requirement, nullptr), errSecSuccess);
  cf::Ref<cf::Dictionary> information;
  ASSERT_EQ(SecCodeCopySigningInformation(guest, kSecCSSigningInformation, &information),
            errSecSuccess);
  EXPECT_EQ(cf::GetString(information, kSecCodeInfoIdentifier), "com.halvex-software.Dorvane");
  EXPECT_EQ(information->Get<cf::URL>(kSecCodeInfoMainExecutable)->path(), sleeper);

  SecCodeRef other = nullptr;
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(*pid, version + 1), 0, &other),
            errSecCSNoSuchCode);
  EXPECT_EQ(other, nullptr);
  ::kill(*pid, SIGKILL);
  EXPECT_NE(mcom::WaitForProcess(*pid), std::error_code());
  EXPECT_EQ(SecCodeCheckValidityWithErrors(guest, 0, requirement, nullptr), errSecCSNoSuchCode);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(*pid, version), 0, &other),
            errSecCSNoSuchCode);
  CFRelease(guest);
  CFRelease(requirement);

  // A token whose sender had gone when it arrived; malformed attributes; a host.
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(::getpid(), 0), 0, &other),
            errSecCSNoSuchCode);
  const uint32_t mine = mcom::CurrentPidVersion(::getpid());
  EXPECT_EQ(
      SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(::getpid(), mine, 31), 0, &other),
      errSecCSInvalidAttributeValues);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, cf::Dictionary::Create({}), 0, &other),
            errSecCSUnsupportedGuestAttributes);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, TokenAttributes(::getpid(), mine), 1, &other),
            errSecCSInvalidFlags);
  SecCodeRef self = nullptr;
  ASSERT_EQ(SecCodeCopySelf(0, &self), errSecSuccess);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(self, TokenAttributes(::getpid(), mine), 0, &other),
            errSecCSNotAHost);
  CFRelease(self);
  // By id alone: this process, unsigned.
  ASSERT_EQ(SecCodeCopyGuestWithAttributes(
                nullptr,
                cf::Dictionary::Create(
                    {{std::string(kSecGuestAttributePid), cf::Number::CreateInteger(::getpid())}}),
                0, &other),
            errSecSuccess);
  EXPECT_EQ(SecCodeCheckValidityWithErrors(other, 0, nullptr, nullptr), errSecCSUnsigned);
  CFRelease(other);
}

}  // namespace
}  // namespace platform
