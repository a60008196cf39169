#include "platform/service_management/service_management.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/cf_file_data.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "platform/service_management/embedded_section.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

namespace cf = mcom::cf;
namespace signature = sim::signature;
using ::testing::HasSubstr;

constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";
constexpr char kInstalled[] = "/Library/PrivilegedHelperTools/com.halvex-software.Dorvane.helper";

// Blesses the helper from the bundle this program lives in, on the machine at the first
// argument, as root or (second argument "nobody") as a normal user.
DORVANE_TEST_CHILD(bless) {
  if (arguments.size() != 2) return 2;
  if (arguments[1] == "nobody" && !testing::BecomeNobody()) return 3;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  AuthorizationRef authorization = nullptr;
  if (AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization)) return 4;
  cf::Ref<cf::Error> error;
  const bool blessed = SMJobBless(kSMDomainSystemLaunchd, kLabel, authorization, &error);
  std::fputs(blessed ? "blessed" : ("refused " + std::to_string(error->code())).c_str(), stdout);
  return 0;
}

std::string ReadEmbedded(const mcom::FilePath& program, std::error_code* error) {
  const cf::Ref<cf::Data> bytes = cf::CreateDataFromFile(program);
  std::string contents;
  *error = ReadEmbeddedSection(bytes ? bytes->span() : std::span<const uint8_t>(),
                               "__launchd_plist", &contents);
  return contents;
}

TEST(EmbeddedSection, ReadsTheHelpersLaunchdPropertyListAndRefusesWhatIsNotThere) {
  std::error_code error;
  EXPECT_EQ(ReadEmbedded(mcom::FilePath(SIGNED_HELPER_PATH), &error),
            testing::TemporaryFolder::ReadFile(
                mcom::FilePath(DORVANE_SOURCE_DIR).Join("helper/launchd.plist")));
  EXPECT_FALSE(error);
  ReadEmbedded(mcom::FilePath("/bin/true"), &error);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  ReadEmbedded(mcom::FilePath(DORVANE_SOURCE_DIR).Join("helper/launchd.plist"), &error);
  EXPECT_EQ(error, std::errc::executable_format_error);
}

class SMJobBlessTest : public ::testing::Test {
 protected:
  SMJobBlessTest() {
    sim::testing::MakeTestMachine(root_);
    std::filesystem::permissions(folder_.path().string(), std::filesystem::perms(0755));
  }

  // Dorvane.app with this test binary, signed as `identifier`, and the helper signed by
  // `helper_identity`.
  std::string Bundle(const std::string& name, const std::string& identifier,
                     signature::TestIdentity helper_identity) {
    signature::testing::TestBundle contents;
    contents.program = mcom::FilePath(testing::TestBinary());
    contents.identifier = identifier;
    contents.helper = mcom::FilePath(UNSIGNED_HELPER_PATH);
    contents.helper_identity = signature::TestSigningIdentity(helper_identity);
    contents.helper_requirement = std::string("identifier \"") + kLabel +
                                  "\" and anchor apple generic and certificate leaf "
                                  "[subject.OU] = \"Q4T7ZK2W9M\"";
    return signature::testing::WriteTestBundle(folder_.Join(name + ".app"), contents).string();
  }

  std::string Bless(const std::string& program, const char* user = "root") {
    const testing::ChildRun run =
        testing::RunCapturing(program, testing::ChildArguments("bless", {root_.string(), user}));
    return run.output;
  }

  bool Installed() const { return std::filesystem::exists(root_.string() + kInstalled); }

  testing::TemporaryFolder folder_;
  mcom::FilePath root_ = folder_.Join("mac");
};

TEST_F(SMJobBlessTest, InstallsTheHelperOfAnApplicationItsClientsAuthorize) {
  const std::string app =
      Bundle("Dorvane", "com.halvex-software.Dorvane", signature::TestIdentity::kMakerDeveloperID);
  // Without launchd nothing can be loaded, so nothing is installed.
  EXPECT_EQ(Bless(app), "refused " + std::to_string(kSMErrorServiceUnavailable));
  EXPECT_FALSE(Installed());

  sim::launcher::testing::RunningLauncher launcher(root_);
  EXPECT_EQ(Bless(app), "blessed");
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(root_.Join(kInstalled + 1)),
            testing::TemporaryFolder::ReadFile(
                folder_.Join("Dorvane.app/Contents/Library/LaunchServices").Join(kLabel)));
  const cf::Ref<cf::Dictionary> job = cf::As<cf::Dictionary>(cf::PropertyListFromFile(
      root_.Join("Library/LaunchDaemons").Join(std::string(kLabel) + ".plist")));
  ASSERT_TRUE(job);
  EXPECT_EQ(job->GetString("Label"), kLabel);
  ASSERT_TRUE(job->GetArray("ProgramArguments"));
  EXPECT_EQ(job->GetArray("ProgramArguments")->Get<cf::String>(0)->utf8(), kInstalled);
  EXPECT_TRUE(job->GetDictionary("MachServices"));
  // The launcher loaded the job.
  EXPECT_EQ(sim::launcher::testing::ReadJobPids(root_).count(kLabel), 1U);
  EXPECT_EQ(Bless(app), "blessed");  // blessing again replaces it

  // A normal user is asked for an administrator, who may decline.
  sim::Machine(root_).Change(
      [](sim::Model& model) { sim::ApplySetting(model, "administrator-approves", "no"); });
  EXPECT_EQ(Bless(app, "nobody"), "refused " + std::to_string(kSMErrorAuthorizationFailure));
}

TEST_F(SMJobBlessTest, RefusesHelpersAndCallersWhoseSignaturesDoNotFitAndChangesNothing) {
  sim::launcher::testing::RunningLauncher launcher(root_);
  // The helper is not the maker's; the caller is not one of the helper's clients.
  EXPECT_EQ(Bless(Bundle("Foreign", "com.halvex-software.Dorvane",
                         signature::TestIdentity::kForeignDeveloperID)),
            "refused " + std::to_string(kSMErrorInvalidSignature));
  EXPECT_EQ(Bless(Bundle("Other", "com.halvex-software.Other",
                         signature::TestIdentity::kMakerDeveloperID)),
            "refused " + std::to_string(kSMErrorInvalidSignature));
  // Not from a bundle that asks for the helper.
  EXPECT_EQ(Bless(testing::TestBinary()), "refused " + std::to_string(kSMErrorToolNotValid));
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(sim::launcher::testing::ReadJobPids(root_).empty() ||
              sim::launcher::testing::ReadJobPids(root_).count(kLabel) == 0);
}

}  // namespace
}  // namespace platform
