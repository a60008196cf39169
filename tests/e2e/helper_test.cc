// The privileged helper as the launcher runs it: a signed executable installed in the
// machine, started by the first connection to its service name, judging real signed client
// processes and replicating for them.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/discovery/apfs_container.h"
#include "core/foundation/system_path.h"
#include "platform/libc.h"
#include "platform/security/authorization.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/machine_paths.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "tests/e2e/e2e_machine.h"
#include "tests/support/child_process.h"
#include "tests/support/interactive_child.h"
#include "transport/call.h"
#include "transport/create_session.h"
#include "transport/message_catalogue.h"
#include "transport/run_with_progress.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
namespace signature = sim::signature;
namespace launcher = sim::launcher::testing;

constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";
constexpr char kHelperOutput[] = "/private/var/log/helper.out";
constexpr char kHelperErrors[] = "/private/var/log/helper.err";

// Changed in a copy of this binary to make a program whose signature no longer fits.
volatile const char kPatchPoint[] = "patch point: original";

void PrintLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Asks the helper for its authorization form and checks it the way the installer will.
std::string Authorize(const mach::PortRight<mach::Send>& session) {
  auto reply = mach::Call<mach::GetAuthorizationRequest>(mach::kGetAuthorizationId, session);
  if (!reply) return "error " + reply.error().message();
  platform::AuthorizationExternalForm form;
  std::memcpy(form.bytes, reply->value.bytes, sizeof form.bytes);
  platform::AuthorizationRef authorization = nullptr;
  if (const platform::OSStatus status =
          platform::AuthorizationCreateFromExternalForm(&form, &authorization)) {
    return "form refused " + std::to_string(status);
  }
  char label[] = "com.halvex-software.Dorvane.helper";
  platform::AuthorizationItem item{"com.apple.ServiceManagement.blesshelper", sizeof label - 1,
                                   label, 0};
  const platform::AuthorizationRights rights{1, &item};
  const platform::OSStatus held = platform::AuthorizationCopyRights(
      authorization, &rights, nullptr, platform::kAuthorizationFlagDefaults, nullptr);
  (void)platform::AuthorizationFree(authorization, platform::kAuthorizationFlagDefaults);
  return held == 0 ? "form holds the bless right" : "form lacks the bless right";
}

std::string Replicate(const std::shared_ptr<const mach::PortRight<mach::Send>>& session,
                      uint32_t source, uint32_t target) {
  try {
    mach::RunWithProgress([session] { return mach::SessionResult(session); }, "ReplicateContainer",
                          mach::kReplicateContainerId,
                          [](const ProgressUpdate& update) {
                            if (const double* fraction = std::get_if<double>(&update)) {
                              PrintLine("progress " + std::to_string(*fraction));
                            } else {
                              PrintLine("progress " + std::get<std::string>(update));
                            }
                          },
                          APFSContainerName{mcom::DiskName{source}},
                          APFSContainerName{mcom::DiskName{target}});
  } catch (const Error& error) {
    return "error " + error.FullDescription();
  }
  return "replicated";
}

// A client of the helper on the machine at the first argument, as root or as "nobody" (the
// second): takes a session, prints "session" (or "error …" and exits), then serves the lines
// "authorize" and "replicate SOURCE TARGET" (container disk numbers) until its input ends.
DORVANE_TEST_CHILD(helper_client) {
  if (arguments.size() != 2) return 2;
  if (arguments[1] == "nobody" && !testing::BecomeNobody()) return 3;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  (void)kPatchPoint[0];
  std::variant<mach::Session, Error> created = mach::CreateSession();
  if (const Error* error = std::get_if<Error>(&created)) {
    PrintLine("error " + error->FullDescription());
    return 1;
  }
  const auto session = std::make_shared<const mach::PortRight<mach::Send>>(
      std::move(std::get<mach::Session>(created).port));
  PrintLine("session");
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream words(line);
    std::string verb;
    uint32_t source = 0;
    uint32_t target = 0;
    words >> verb >> source >> target;
    if (verb == "authorize") PrintLine(Authorize(*session));
    if (verb == "replicate") PrintLine(Replicate(session, source, target));
  }
  return 0;
}

// Waits until `done` holds, checking every 50 ms; false after `limit` (a guard against
// hangs, not a timing check).
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// How many processes run the program at `path`.
int ProcessesOf(const mcom::FilePath& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path() / "exe", error) == path.string()) ++count;
  }
  return count;
}

class HelperTest : public ::testing::Test {
 protected:
  HelperTest() {
    // Clients that run as "nobody" must reach their program and the machine's sockets.
    std::filesystem::permissions(mac_.folder().string(), std::filesystem::perms(0755));
    InstallHelper(mcom::FilePath(SIGNED_HELPER_PATH));
    launcher_.emplace(mac_.root());
  }

  ~HelperTest() override {
    // What the helper said on its way out (a sanitizer's report, for one) tells why it failed.
    if (HasFailure()) {
      std::cerr << "helper's standard error:\n"
                << testing::TemporaryFolder::ReadFile(mcom::SystemPath(kHelperErrors));
    }
  }

  // Puts `program` where the installer puts the helper, with its launchd job; the job's
  // standard output and error go to files the tests read.
  void InstallHelper(const mcom::FilePath& program) {
    const std::string installed = std::string("/Library/PrivilegedHelperTools/") + kLabel;
    std::filesystem::copy_file(program.string(), mcom::SystemPath(installed).string(),
                               std::filesystem::copy_options::overwrite_existing);
    launcher::JobDescription job;
    job.label = kLabel;
    job.program = installed;
    job.mach_services = {kLabel};
    job.standard_out_path = kHelperOutput;
    job.standard_error_path = kHelperErrors;
    job.throttle_interval = 0;
    launcher::WriteJob(mac_.root(), job);
    if (launcher_) launcher_->Reload();
  }

  // A copy of this test binary signed by `identity` as `identifier`; unsigned without an
  // identity.
  std::string Client(const std::string& name, std::optional<signature::TestIdentity> identity,
                     const std::string& identifier) {
    const mcom::FilePath copy = mac_.Scratch(name);
    if (identity) {
      const std::string info = "<plist version=\"1.0\"><dict/></plist>";
      signature::testing::WriteSignedCopy(mcom::FilePath(testing::TestBinary()), copy,
                                          signature::TestSigningIdentity(*identity),
                                          {identifier, {info.begin(), info.end()}, 1765000000});
    } else {
      std::filesystem::copy_file(testing::TestBinary(), copy.string());
    }
    ::chmod(copy.c_str(), 0755);
    return copy.string();
  }
  std::string App() {
    return Client("app", signature::TestIdentity::kMakerDeveloperID, "com.halvex-software.Dorvane");
  }

  std::string HelperOutput() const {
    return testing::TemporaryFolder::ReadFile(mcom::SystemPath(kHelperOutput));
  }
  std::string SystemLog() const {
    return testing::TemporaryFolder::ReadFile(mcom::SystemPath("/private/var/log/system.log"));
  }
  std::optional<pid_t> HelperPid() const {
    const launcher::JobPids jobs = launcher::ReadJobPids(mac_.root());
    const auto job = jobs.find(kLabel);
    return job == jobs.end() ? std::nullopt : job->second;
  }
  bool HelperRuns() const { return HelperPid().has_value(); }

  size_t CountOf(const std::string& text, const std::string& part) const {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  E2EMachine mac_;
  std::optional<launcher::RunningLauncher> launcher_;
};

TEST_F(HelperTest, SessionsGoOnlyToTheMakersSignedClients) {
  const std::string root = mac_.root().string();
  // Refused callers alone: the first one starts the helper, none gets a reply, and the idle
  // timer armed at launch still ends the helper.
  std::string modified =
      Client("modified", signature::TestIdentity::kMakerDeveloperID, "com.halvex-software.Dorvane");
  {
    std::fstream file(modified, std::ios::in | std::ios::out | std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    const size_t at = bytes.str().find("patch point: original");
    ASSERT_NE(at, std::string::npos);
    file.seekp(static_cast<std::streamoff>(at + std::strlen("patch point: ")));
    file.write("modified", 8);
  }
  const std::vector<std::string> refused = {
      Client("foreign", signature::TestIdentity::kForeignDeveloperID,
             "com.halvex-software.Dorvane"),
      Client("development", signature::TestIdentity::kMakerDevelopment,
             "com.halvex-software.Dorvane"),
      Client("unsigned", std::nullopt, ""),
      modified,
      Client("other", signature::TestIdentity::kMakerDeveloperID, "com.halvex-software.Other"),
  };
  std::optional<pid_t> first_helper;
  for (const std::string& program : refused) {
    testing::InteractiveChild client(program, "helper_client", {root, "root"});
    EXPECT_THAT(client.ReadLine(), StartsWith("error CreateSession: failed to get session port"))
        << program;
    if (!first_helper) first_helper = HelperPid();
  }
  ASSERT_TRUE(first_helper);
  std::vector<pid_t> launched;
  ASSERT_FALSE(platform::ChildProcesses(launcher_->pid(), &launched));
  EXPECT_THAT(launched, ::testing::Contains(*first_helper));
  ASSERT_TRUE(WaitUntil([&] { return !HelperRuns(); }));
  EXPECT_THAT(SystemLog(), HasSubstr(std::string(kLabel) + ": exited with status 0"));
  EXPECT_THAT(SystemLog(), HasSubstr("launched. version: 2.0.0 (127), timestamp: "));

  // The application, and the command-line client as root; not the client as another user.
  testing::InteractiveChild app(App(), "helper_client", {root, "root"});
  EXPECT_EQ(app.ReadLine(), "session");
  EXPECT_NE(HelperPid(), first_helper);  // started anew by the next connection
  const std::string cli =
      Client("cli", signature::TestIdentity::kMakerDeveloperID, "com.halvex-software.Dorvane.cli");
  testing::InteractiveChild cli_as_root(cli, "helper_client", {root, "root"});
  EXPECT_EQ(cli_as_root.ReadLine(), "session");
  testing::InteractiveChild cli_as_user(cli, "helper_client", {root, "nobody"});
  EXPECT_THAT(cli_as_user.ReadLine(), StartsWith("error CreateSession: failed to get session"));
}

TEST_F(HelperTest, TheHelperStaysWhileSessionsAreHeldAndLeavesFiveSecondsAfterTheLast) {
  const std::string root = mac_.root().string();
  const std::string app = App();
  std::optional<testing::InteractiveChild> first(std::in_place, app, "helper_client",
                                                 std::vector<std::string>{root, "root"});
  testing::InteractiveChild second(app, "helper_client", {root, "root"});
  ASSERT_EQ(first->ReadLine(), "session");
  ASSERT_EQ(second.ReadLine(), "session");
  const std::optional<pid_t> helper = HelperPid();

  first->CloseInput();
  EXPECT_EQ(first->Wait(), 0);
  first.reset();
  second.WriteLine("authorize");  // answered: the helper still serves
  EXPECT_EQ(second.ReadLine(), "form holds the bless right");
  EXPECT_THAT(HelperOutput(), Not(HasSubstr("no sessions!")));

  second.CloseInput();
  EXPECT_EQ(second.Wait(), 0);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HelperOutput(), "no sessions!") == 1; }));
  // A session taken within the five seconds keeps the helper, well past them.
  testing::InteractiveChild third(app, "helper_client", {root, "root"});
  ASSERT_EQ(third.ReadLine(), "session");
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_EQ(HelperPid(), helper);
  third.WriteLine("authorize");
  EXPECT_EQ(third.ReadLine(), "form holds the bless right");

  third.CloseInput();
  EXPECT_EQ(third.Wait(), 0);
  ASSERT_TRUE(WaitUntil([&] { return !HelperRuns(); }));
  EXPECT_EQ(CountOf(HelperOutput(), "no sessions!"), 2U);
  EXPECT_EQ(CountOf(SystemLog(), std::string(kLabel) + ": exited with status 0"), 1U);
}

TEST_F(HelperTest, ReplicatesForItsClientsWithProgressAndTheToolsErrors) {
  const APFSContainerName system = mac_.SystemContainer();
  // The medium's APFS partition follows its EFI one.
  const std::optional<APFSContainerName> target =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{mac_.Plug("usb-apfs").disk, 2});
  ASSERT_TRUE(target);
  const std::string replicate =
      "replicate " + std::to_string(system.name.disk) + " " + std::to_string(target->name.disk);
  testing::InteractiveChild client(App(), "helper_client", {mac_.root().string(), "root"});
  ASSERT_EQ(client.ReadLine(), "session");

  client.WriteLine(replicate);
  std::vector<double> fractions;
  std::vector<std::string> texts;
  std::string line = client.ReadLine();
  for (; line.rfind("progress ", 0) == 0; line = client.ReadLine()) {
    const std::string value = line.substr(9);
    if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0]))) {
      fractions.push_back(std::stod(value));
    } else {
      texts.push_back(value);
    }
  }
  EXPECT_EQ(line, "replicated");
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
  EXPECT_FALSE(texts.empty());
  EXPECT_THAT(mac_.ContainerDifferences(system, *target), ::testing::IsEmpty());

  mac_.SetFault("asr.restore", "fail-at-start;status=5;message=Could not restore - Input/output");
  client.WriteLine(replicate);
  for (line = client.ReadLine(); line.rfind("progress ", 0) == 0; line = client.ReadLine()) {
  }
  EXPECT_THAT(line, StartsWith("error ReplicateContainer: "));
  EXPECT_THAT(line, HasSubstr("Could not restore - Input/output"));
}

TEST_F(HelperTest, AHolderThatQuitsDuringAReplicationDoesNotKeepTheHelper) {
  const APFSContainerName system = mac_.SystemContainer();
  // The medium's APFS partition follows its EFI one.
  const std::optional<APFSContainerName> target =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{mac_.Plug("usb-apfs").disk, 2});
  ASSERT_TRUE(target);
  mac_.SetFault("asr.restore", "hold-after-percent:30");
  {
    testing::InteractiveChild client(App(), "helper_client", {mac_.root().string(), "root"});
    ASSERT_EQ(client.ReadLine(), "session");
    client.WriteLine("replicate " + std::to_string(system.name.disk) + " " +
                     std::to_string(target->name.disk));
    EXPECT_THAT(client.ReadLine(), StartsWith("progress "));
  }  // killed mid-replication
  ASSERT_TRUE(WaitUntil([&] { return !HelperRuns(); }));
  EXPECT_THAT(HelperOutput(), HasSubstr("no sessions!"));
  EXPECT_THAT(SystemLog(), HasSubstr(std::string(kLabel) + ": exited with status 0"));
  // The copy the helper left goes on once the hook lets it, and ends.
  mac_.SetFault("asr.restore", "");
  EXPECT_TRUE(WaitUntil([&] { return ProcessesOf(mcom::SystemPath("/usr/sbin/asr")) == 0; }));
}

TEST_F(HelperTest, AFailedFirstAuthorizationIsNeverAnswered) {
  // The machine can keep no authorization reference: its folder for them is a file.
  const std::string references = sim::AuthorizationsFolder(mac_.root()).string();
  std::filesystem::remove_all(references);
  std::ofstream(references) << "not a folder";
  testing::InteractiveChild client(App(), "helper_client", {mac_.root().string(), "root"});
  ASSERT_EQ(client.ReadLine(), "session");
  for (int attempt = 0; attempt < 2; ++attempt) {
    client.WriteLine("authorize");
    EXPECT_THAT(client.ReadLine(), StartsWith("error ")) << attempt;
  }
}

TEST_F(HelperTest, CheckInFailureAndAnInvalidOwnSignatureEndTheHelperWithStatusOne) {
  // Not started by the launcher, the helper cannot check in.
  const testing::ChildRun by_hand = testing::RunCapturing(
      "/usr/bin/env",
      {"DORVANE_SYSTEM_ROOT=" + mac_.root().string(),
       mcom::SystemPath(std::string("/Library/PrivilegedHelperTools/") + kLabel).string()});
  EXPECT_EQ(by_hand.status.value(), 1);
  EXPECT_EQ(by_hand.error,
            "bootstrap_check_in failed: 1102: " + std::system_category().message(1102) + "\n");

  // Signed by another team, it stops at the first session request.
  const std::string info = testing::TemporaryFolder::ReadFile(
      mcom::FilePath(DORVANE_SOURCE_DIR).Join("helper/Info.plist"));
  signature::testing::WriteSignedCopy(
      mcom::FilePath(UNSIGNED_HELPER_PATH), mac_.Scratch("foreign-helper"),
      signature::TestSigningIdentity(signature::TestIdentity::kForeignDeveloperID),
      {kLabel, {info.begin(), info.end()}, 1765000000});
  InstallHelper(mac_.Scratch("foreign-helper"));
  testing::InteractiveChild client(App(), "helper_client", {mac_.root().string(), "root"});
  EXPECT_THAT(client.ReadLine(), StartsWith("error CreateSession: failed to get session port"));
  ASSERT_TRUE(WaitUntil([&] { return !HelperRuns(); }));
  EXPECT_THAT(SystemLog(), HasSubstr("<Error>: invalid signature: "));
  EXPECT_THAT(SystemLog(), HasSubstr(std::string(kLabel) + ": exited with status 1"));
}

}  // namespace
}  // namespace e2e
