#include "helper/code_signing.h"
#include "core/foundation/hex_text.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "platform/posix/process_instance.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/code_signature.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace helper {
namespace {

namespace signature = sim::signature;

// Plays the helper: decides on the caller named by a token (process id, pid version,
// effective user id) on the machine at the root given first.
DORVANE_TEST_CHILD(check_caller) {
  if (arguments.size() != 4) return 2;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  mcom::AuditToken token;
  token.val[5] = static_cast<uint32_t>(std::stoul(arguments[1]));
  token.val[7] = static_cast<uint32_t>(std::stoul(arguments[2]));
  token.val[1] = static_cast<uint32_t>(std::stoul(arguments[3]));
  std::fputs(IsCallerAllowed(token) ? "allowed" : "refused", stdout);
  return 0;
}

class CodeSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::testing::MakeTestMachine(folder_.Join("mac"));
    mcom::SetSystemRoot(folder_.Join("mac"));
  }
  void TearDown() override { mcom::SetSystemRoot(mcom::FilePath("/")); }

  // A copy of `original` signed by `identity` as `identifier`.
  mcom::FilePath Signed(const char* original, const signature::SigningIdentity& identity,
                        const std::string& identifier) {
    const std::string info = "<plist version=\"1.0\"><dict/></plist>";
    return signature::testing::WriteSignedCopy(
        mcom::FilePath(original), folder_.Join(identifier), identity,
        {identifier, {info.begin(), info.end()}, 1765000000});
  }

  std::string SystemLog() const {
    return ::testing::TemporaryFolder::ReadFile(folder_.Join("mac/private/var/log/system.log"));
  }

  ::testing::TemporaryFolder folder_;
};

template <typename Call>
int StatusOf(Call call) {
  try {
    call();
  } catch (const std::system_error& failure) {
    EXPECT_EQ(failure.code().category().name(), std::string("security"));
    return failure.code().value();
  }
  return 0;
}

TEST_F(CodeSigningTest, RequirementsAndStaticChecksOfTheMakersCode) {
  EXPECT_EQ(MakeRequirementString(std::nullopt, kTeamIdentifier, true),
            "anchor apple generic and anchor trusted  and certificate leaf [subject.OU] = "
            "\"Q4T7ZK2W9M\" and certificate leaf [field.1.2.840.113635.100.6.1.13]");
  EXPECT_EQ(MakeRequirementString(kApplicationIdentifier, kTeamIdentifier, false),
            "anchor apple generic and anchor trusted and identifier "
            "\"com.halvex-software.Dorvane\" and certificate leaf [subject.OU] = \"Q4T7ZK2W9M\" "
            "and certificate leaf [field.1.2.840.113635.100.6.1.12]");

  const StaticCode app = CreateStaticCode(Signed(
      "/bin/true", signature::TestSigningIdentity(signature::TestIdentity::kMakerDeveloperID),
      kApplicationIdentifier));
  EXPECT_EQ(StatusOf([&] {
              ValidateStaticCode(app.get(), kApplicationIdentifier, kTeamIdentifier, true);
            }),
            0);
  EXPECT_EQ(StatusOf([&] { ValidateStaticCode(app.get(), std::nullopt, kTeamIdentifier, false); }),
            platform::errSecCSReqFailed);
  EXPECT_NE(SystemLog().find("<Error>: code validation failed: Error Domain=NSOSStatusErrorDomain "
                             "Code=-67050 \"(null)\""),
            std::string::npos);
  const SigningInformation information = CopySigningInformation(app.get());
  EXPECT_EQ(information.identifier, kApplicationIdentifier);
  EXPECT_EQ(information.team_identifier, kTeamIdentifier);
  EXPECT_EQ(information.executable, folder_.Join(kApplicationIdentifier));
  EXPECT_TRUE(information.info_plist);
  EXPECT_EQ(information.signing_time, std::chrono::system_clock::from_time_t(1765000000));
  EXPECT_NE(information.code_directory_hash, (std::array<uint8_t, 20>{}));

  EXPECT_EQ(StatusOf([&] { CreateStaticCode(folder_.Join("missing")); }),
            platform::errSecCSStaticCodeNotFound);
  EXPECT_NE(
      SystemLog().find("failed to create static code from " + folder_.Join("missing").string() +
                       ": cannot find code object on disk"),
      std::string::npos);
  EXPECT_EQ(StatusOf([] { CreateRequirement("anchor"); }), platform::errSecCSReqInvalid);
  EXPECT_NE(SystemLog().find("failed to create requirement from string 'anchor': Error "
                             "Domain=NSOSStatusErrorDomain Code=-67052"),
            std::string::npos);
}

// A signature without a team: a maker of its own whose root the machine trusts.
TEST_F(CodeSigningTest, AMissingTeamIsAnInvalidatedIdentity) {
  signature::PrivateKey key{};
  key.fill(7);
  signature::SigningIdentity teamless;
  teamless.key = key;
  teamless.chain = {signature::Issued({"Teamless", "", {}, signature::PublicKeyOf(key), {}}, key)};
  const std::string anchor = mcom::HexOf(signature::PublicKeyOf(key));
  sim::Machine(folder_.Join("mac")).Change([&](sim::Model& model) {
    sim::ApplySetting(model, "trusted-anchor", anchor);
  });
  const StaticCode code = CreateStaticCode(Signed("/bin/true", teamless, "com.example.teamless"));
  EXPECT_EQ(StatusOf([&] { CopySigningInformation(code.get()); }), platform::errSecCSGuestInvalid);
  EXPECT_NE(SystemLog().find("no team identifier in guest info: code identity has been "
                             "invalidated"),
            std::string::npos);
}

TEST_F(CodeSigningTest, AGuestIsItsTokensProcessInstance) {
  const mcom::FilePath sleeper = Signed(
      "/bin/sleep", signature::TestSigningIdentity(signature::TestIdentity::kMakerDeveloperID),
      kApplicationIdentifier);
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(sleeper.c_str(), {"30"}, mcom::FileActions());
  ASSERT_TRUE(pid.has_value());
  mcom::AuditToken token;
  token.val[5] = static_cast<uint32_t>(*pid);
  token.val[7] = mcom::CurrentPidVersion(*pid);
  {
    const Code guest = CopyGuestCode(token);
    EXPECT_EQ(StatusOf([&] { ValidateCode(guest.get(), std::nullopt, kTeamIdentifier, true); }), 0);
    EXPECT_EQ(CopySigningInformation(guest.get()).identifier, kApplicationIdentifier);
  }
  ::kill(*pid, SIGKILL);
  (void)mcom::WaitForProcess(*pid);
  EXPECT_EQ(StatusOf([&] { CopyGuestCode(token); }), platform::errSecCSNoSuchCode);
  EXPECT_NE(SystemLog().find("failed to copy guest for pid " + std::to_string(*pid) +
                             ": host has no guest with the requested attributes"),
            std::string::npos);
}

// A signed copy of this test program plays the helper: only the maker's application, or the
// command-line client as root, signed with the helper's kind of certificate, is allowed.
TEST_F(CodeSigningTest, OnlyTheMakersClientsOfTheHelpersKindAreAllowed) {
  const auto maker = signature::TestSigningIdentity(signature::TestIdentity::kMakerDeveloperID);
  const mcom::FilePath helper =
      Signed(::testing::TestBinary().c_str(), maker, "com.halvex-software.Dorvane.helper");
  const mcom::FilePath changed = Signed("/bin/sleep", maker, "changed");
  {
    std::string bytes = ::testing::TemporaryFolder::ReadFile(changed);
    const auto program = signature::ProgramBytes(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    bytes[program.size() - 1] ^= 1;  // the section headers, which running it never reads
    folder_.WriteFile("changed", bytes);
  }
  struct Caller {
    const char* name;
    mcom::FilePath program;
    unsigned euid;
    const char* verdict;
  };
  const Caller callers[] = {
      {"the application", Signed("/bin/sleep", maker, kApplicationIdentifier), 501, "allowed"},
      {"the client as root", Signed("/bin/sleep", maker, kCommandLineClientIdentifier), 0,
       "allowed"},
      {"the client as a user", folder_.Join(kCommandLineClientIdentifier), 501, "refused"},
      {"the other kind",
       Signed("/bin/sleep",
              signature::TestSigningIdentity(signature::TestIdentity::kMakerDevelopment),
              "development"),
       0, "refused"},
      {"a foreign team",
       Signed("/bin/sleep",
              signature::TestSigningIdentity(signature::TestIdentity::kForeignDeveloperID),
              "foreign"),
       0, "refused"},
      {"an unsigned program", mcom::FilePath("/bin/sleep"), 0, "refused"},
      {"a program changed after signing", changed, 0, "refused"},
  };
  for (const Caller& caller : callers) {
    SCOPED_TRACE(caller.name);
    const mcom::Result<pid_t> pid =
        mcom::SpawnProcess(caller.program.c_str(), {"30"}, mcom::FileActions());
    ASSERT_TRUE(pid.has_value());
    const ::testing::ChildRun run = ::testing::RunCapturing(
        helper.string(), ::testing::ChildArguments(
                             "check_caller", {folder_.Join("mac").string(), std::to_string(*pid),
                                              std::to_string(mcom::CurrentPidVersion(*pid)),
                                              std::to_string(caller.euid)}));
    ::kill(*pid, SIGKILL);
    (void)mcom::WaitForProcess(*pid);
    EXPECT_EQ(run.status, std::error_code()) << run.error;
    EXPECT_EQ(run.output, caller.verdict);
  }
  // A caller that has gone.
  const mcom::Result<pid_t> gone =
      mcom::SpawnProcess(callers[0].program.c_str(), {"30"}, mcom::FileActions());
  ASSERT_TRUE(gone.has_value());
  const uint32_t version = mcom::CurrentPidVersion(*gone);
  ::kill(*gone, SIGKILL);
  (void)mcom::WaitForProcess(*gone);
  const ::testing::ChildRun run = ::testing::RunCapturing(
      helper.string(), ::testing::ChildArguments(
                           "check_caller", {folder_.Join("mac").string(), std::to_string(*gone),
                                            std::to_string(version), "0"}));
  EXPECT_EQ(run.output, "refused");
}

// This test program is not signed, so as a helper it would stop at its first session.
TEST_F(CodeSigningTest, AnUnsignedHelperExitsWithStatus1) {
  EXPECT_EXIT(SelfCertificateKind(), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(
      StatusOf([] { ValidateCode(CopySelfCode().get(), std::nullopt, kTeamIdentifier, true); }),
      platform::errSecCSUnsigned);
}

}  // namespace
}  // namespace helper
