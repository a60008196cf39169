#include "app/client/helper_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/client/replicator.h"
#include "core/discovery/apfs_container.h"
#include "core/foundation/system_path.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace {

namespace signature = sim::signature;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";
constexpr char kRequirement[] =
    "identifier \"com.halvex-software.Dorvane.helper\" and anchor apple generic and "
    "certificate leaf [subject.OU] = \"Q4T7ZK2W9M\"";

// The application asking for helper sessions on the machine at the first argument, as root
// or (second argument "nobody") as a normal user, from as many threads at once as the third
// says; prints "session" when all of them and a later request got the same one, else the
// first error.
DORVANE_TEST_CHILD(get_session) {
  if (arguments.size() != 3) return 2;
  if (arguments[1] == "nobody" && !testing::BecomeNobody()) return 3;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  std::vector<mach::SessionResult> results(std::stoul(arguments[2]));
  std::vector<std::thread> threads;
  threads.reserve(results.size());
  for (mach::SessionResult& result : results) {
    threads.emplace_back([&result] { result = GetHelperSession(); });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<const void*> sessions;
  for (const mach::SessionResult& result : results) {
    if (const Error* error = std::get_if<Error>(&result)) {
      std::puts(("error " + error->FullDescription()).c_str());
      return 0;
    }
    sessions.insert(std::get<0>(result).get());
  }
  // A later request is answered from the cache.
  const mach::SessionResult again = GetHelperSession();
  if (sessions.size() == 1 && again.index() == 0 && std::get<0>(again).get() == *sessions.begin()) {
    std::puts("session");
  }
  return 0;
}

// Replicates container disk <second argument> into container disk <third> on the machine at
// the first, as the backup and restore pipelines do; with a fourth argument "recovery" in
// the recovery environment. Prints "replicated" or the error.
DORVANE_TEST_CHILD(replicate) {
  if (arguments.size() != 4) return 2;
  if (arguments[3] == "recovery") ::setenv("__OSINSTALL_ENVIRONMENT", "1", 1);
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  try {
    Replicator("PerformBackup")(
        APFSContainerName{mcom::DiskName{static_cast<uint32_t>(std::stoul(arguments[1]))}},
        APFSContainerName{mcom::DiskName{static_cast<uint32_t>(std::stoul(arguments[2]))}},
        [](const ProgressUpdate&) {});
    std::puts("replicated");
  } catch (const Error& error) {
    std::puts(("error " + error.FullDescription()).c_str());
  }
  return 0;
}

class HelperSessionTest : public ::testing::Test {
 protected:
  HelperSessionTest() {
    sim::testing::MakeTestMachine(root_);
    std::filesystem::permissions(folder_.path().string(), std::filesystem::perms(0755));
  }

  // Dorvane.app with this test binary and the helper of this build, padded by `padding`
  // bytes; its requirement on the helper is `requirement`.
  std::string App(size_t padding = 0, const std::string& requirement = kRequirement) {
    signature::testing::TestBundle contents;
    contents.program = mcom::FilePath(testing::TestBinary());
    contents.identifier = "com.halvex-software.Dorvane";
    contents.helper = mcom::FilePath(UNSIGNED_HELPER_PATH);
    contents.helper_identity =
        signature::TestSigningIdentity(signature::TestIdentity::kMakerDeveloperID);
    contents.helper_requirement = requirement;
    contents.helper_padding = padding;
    return signature::testing::WriteTestBundle(
               folder_.Join("app" + std::to_string(bundles_++) + "/Dorvane.app"), contents)
        .string();
  }

  std::string GetSession(const std::string& app, int threads = 1, const char* user = "root") {
    return testing::RunCapturing(
               app, testing::ChildArguments("get_session",
                                            {root_.string(), user, std::to_string(threads)}))
        .output;
  }

  std::string SystemLog() const {
    return testing::TemporaryFolder::ReadFile(root_.Join("private/var/log/system.log"));
  }
  size_t Count(const std::string& part) const {
    const std::string log = SystemLog();
    size_t count = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  testing::TemporaryFolder folder_;
  mcom::FilePath root_ = folder_.Join("mac");
  int bundles_ = 0;
};

TEST_F(HelperSessionTest, InstallsValidatesAndCachesTheBundlesHelperOnce) {
  sim::launcher::testing::RunningLauncher launcher(root_);
  const std::string app = App();
  // No helper yet: nothing to borrow or wait for; concurrent first requests share one bless.
  EXPECT_EQ(GetSession(app, 8), "session\n");
  EXPECT_EQ(Count("found 0 helper instances"), 1U);
  EXPECT_EQ(Count("bless helper"), 1U);
  EXPECT_EQ(Count("<Error>: failed to bless helper"), 0U);
  EXPECT_TRUE(std::filesystem::exists(root_.string() + kInstalledHelperPath));
  EXPECT_THAT(SystemLog(), HasSubstr("running helper cdhash: "));

  // The helper of that run still runs: its authorization is borrowed, it leaves 5 s after
  // its session was released, and the bundle's helper is installed again.
  const std::optional<pid_t> running = sim::launcher::testing::ReadJobPids(root_)[kLabel];
  ASSERT_TRUE(running);
  EXPECT_EQ(GetSession(app), "session\n");
  EXPECT_THAT(SystemLog(), HasSubstr("waiting for " + std::to_string(*running) + " to finish"));
  EXPECT_THAT(SystemLog(), Not(HasSubstr("no reply from helper")));
  EXPECT_EQ(Count("bless helper"), 2U);
}

TEST_F(HelperSessionTest, RefusesAHelperThatIsNotTheBundlesCopy) {
  sim::launcher::testing::RunningLauncher launcher(root_);
  EXPECT_EQ(GetSession(App()), "session\n");
  // A bundle whose helper differs by one byte, and whose bless fails (its requirement names
  // another team): the helper that answers is the earlier one.
  const std::string other =
      App(1,
          "identifier \"com.halvex-software.Dorvane.helper\" and certificate leaf "
          "[subject.OU] = \"OTHERTEAM1\"");
  EXPECT_EQ(GetSession(other),
            "error CreateSession: helper validation failed: ValidateRunningHelper: invalid "
            "helper version. helper path: " +
                root_.string() + kInstalledHelperPath + "\n");
  EXPECT_EQ(Count("<Error>: failed to bless helper"), 1U);

  // The application's identity outside any bundle has no copy to compare with: refused.
  static constexpr char kEmptyInfo[] = "<plist version=\"1.0\"><dict/></plist>";
  const mcom::FilePath loose = folder_.Join("loose");
  signature::testing::WriteSignedCopy(
      mcom::FilePath(testing::TestBinary()), loose,
      signature::TestSigningIdentity(signature::TestIdentity::kMakerDeveloperID),
      {"com.halvex-software.Dorvane", {kEmptyInfo, kEmptyInfo + sizeof kEmptyInfo - 1}, 0});
  EXPECT_THAT(GetSession(loose.string()),
              HasSubstr("error CreateSession: helper validation failed: ValidateRunningHelper: "
                        "validation error: "));
}

TEST_F(HelperSessionTest, AnAdministratorWhoDeclinesLeavesNothingInstalled) {
  sim::launcher::testing::RunningLauncher launcher(root_);
  sim::Machine(root_).Change(
      [](sim::Model& model) { sim::ApplySetting(model, "administrator-approves", "no"); });
  EXPECT_THAT(GetSession(App(), 1, "nobody"),
              HasSubstr("error CreateSession: bootstrap lookup failed"));
  EXPECT_FALSE(std::filesystem::exists(root_.string() + kInstalledHelperPath));
}

TEST_F(HelperSessionTest, ReplicatesThroughTheHelperOutsideTheRecoveryEnvironmentOnly) {
  sim::testing::InstallTestTools(root_);
  sim::Machine machine(root_);
  const uint32_t usb = sim::testing::PlugTestMedium(machine, "usb-apfs");
  mcom::SetSystemRoot(root_);
  const std::optional<APFSContainerName> target =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb, 2});
  mcom::SetSystemRoot(mcom::FilePath("/"));
  ASSERT_TRUE(target);
  const auto replicate = [&](const std::string& app, const char* where) {
    return testing::RunCapturing(app, testing::ChildArguments(
                                          "replicate", {root_.string(), "1",
                                                        std::to_string(target->name.disk), where}))
        .output;
  };
  // In the recovery environment no helper is asked: none is installed, no launcher runs.
  EXPECT_THAT(replicate(testing::TestBinary(), "recovery"), ::testing::EndsWith("replicated\n"));
  EXPECT_EQ(Count("Prepare helper for operation"), 0U);
  // Elsewhere only through the helper.
  EXPECT_THAT(replicate(App(), "running"),
              HasSubstr("error PerformBackup: failed to create session"));
  sim::launcher::testing::RunningLauncher launcher(root_);
  EXPECT_THAT(replicate(App(), "running"), ::testing::EndsWith("replicated\n"));
  EXPECT_THAT(SystemLog(), HasSubstr("replicate disk1 (whole) -> disk"));
}

TEST(CodeDirectoryHash, IsShownAsFortyLowerCaseDigits) {
  std::array<uint8_t, 20> hash{};
  hash[0] = 0xAB;
  hash[1] = 0x0F;
  hash[19] = 0x10;
  EXPECT_EQ(FormatCodeDirectoryHash(hash), "ab0f000000000000000000000000000000000010");
}

}  // namespace
