// The launcher as the system meets it: real launchers started with macsim, jobs that are
// this test binary re-run as a child, clients that reach them over the bootstrap service.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/system_path.h"
#include "sim/launcher/launcher_paths.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/blockers.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/log_entry.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"
#include "transport/mach.h"
#include "transport/message_buffer.h"
#include "transport/message_layout.h"
#include "transport/port_right.h"

extern char** environ;

namespace {

constexpr char kJobProgram[] = "/Library/PrivilegedHelperTools/launcher-job";

// A job: checks what the launcher handed it, checks in `service` and answers each request
// with its pid, once ("once") or until it is stopped ("stay"). The handed-over sockets must
// be exactly `sockets` (MACSIM_LAUNCHD_SOCKETS). A failed check is the exit status: the
// client then gets no answer, and the system log says why.
int ServeAsJob(const std::string& mode, const std::string& service, const std::string& sockets) {
  const char* handed = std::getenv("MACSIM_LAUNCHD_SOCKETS");
  if (handed == nullptr || handed != sockets) return 10;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name(*entry, std::strchr(*entry, '=') - *entry);
    if (name != "DORVANE_SYSTEM_ROOT" && name != "PATH" && name != "MACSIM_LAUNCHD_SOCKETS" &&
        !name.ends_with("SAN_OPTIONS")) {
      return 11;
    }
  }
  // The machine root, absolute: the job finds its own program under it.
  if (!mcom::SystemRoot().string().starts_with('/') ||
      ::access(mcom::SystemPath(kJobProgram).c_str(), X_OK) != 0) {
    return 12;
  }
  // The standard streams and one socket per service, nothing else (and the listing's own).
  const auto services = 1 + std::count(sockets.begin(), sockets.end(), ',');
  const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                  std::filesystem::directory_iterator());
  struct stat input {};
  if (open != 3 + services + 1 || ::fstat(0, &input) != 0 || !S_ISCHR(input.st_mode)) return 13;
  sigset_t blocked;
  if (::sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0 || ::sigismember(&blocked, SIGTERM)) {
    return 14;
  }

  mach_port_t name = MACH_PORT_NULL;
  if (bootstrap_check_in(bootstrap_port, service.c_str(), &name) != KERN_SUCCESS) return 20;
  const mach::PortRight<mach::Receive> port(name);
  mach_port_t other = MACH_PORT_NULL;
  if (bootstrap_check_in(bootstrap_port, service.c_str(), &other) != BOOTSTRAP_SERVICE_ACTIVE ||
      bootstrap_check_in(bootstrap_port, "com.example.not-handed", &other) !=
          BOOTSTRAP_UNKNOWN_SERVICE) {
    return 21;
  }
  std::printf("%d serving %s\n", static_cast<int>(::getpid()), service.c_str());
  std::fflush(stdout);
  for (;;) {
    mcom::Result<mach::MessageBuffer> request = mach::MessageBuffer::Receive(port.get(), 64);
    if (!request) return 30;
    mach::PortRight<mach::SendOnce> reply = request->TakeReplyPort();
    mach_msg_header_t answer{};
    answer.msgh_bits = mach::kReplyBits;
    answer.msgh_size = sizeof answer;
    answer.msgh_remote_port = reply.get();
    answer.msgh_id = ::getpid();
    if (mach_msg(&answer, MACH_SEND_MSG, sizeof answer, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL) ==
        MACH_MSG_SUCCESS) {
      (void)reply.release();
    }
    if (mode == "once") return 0;
  }
}

}  // namespace

DORVANE_TEST_CHILD(launcher_job) {
  if (arguments.size() != 3) return 2;
  return ServeAsJob(arguments[0], arguments[1], arguments[2]);
}

namespace {

using sim::launcher::testing::JobDescription;
using sim::launcher::testing::JobPids;
using sim::launcher::testing::RunningLauncher;
using sim::launcher::testing::WaitForJobPids;
using sim::launcher::testing::WriteJob;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

// A machine whose root is this process's system root, with this test binary installed as the
// program of its jobs.
class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() {
    sim::testing::MakeTestMachine(root_);
    mcom::SetSystemRoot(root_);
    std::filesystem::create_symlink(::testing::TestBinary(),
                                    mcom::SystemPath(kJobProgram).string());
  }
  ~LauncherTest() override { mcom::SetSystemRoot(previous_root_); }

  // A job of this binary that serves `services[0]` ("once" or "stay").
  JobDescription Job(const std::string& label, const std::string& mode,
                     std::vector<std::string> services = {}) {
    if (services.empty()) services.push_back(label);
    std::string sockets;
    for (size_t index = 0; index < services.size(); ++index) {
      sockets += (index == 0 ? "" : ",") + services[index] + "=" + std::to_string(3 + index);
    }
    JobDescription job;
    job.label = label;
    job.program = kJobProgram;
    job.arguments = ::testing::ChildArguments("launcher_job", {mode, services[0], sockets});
    job.mach_services = services;
    return job;
  }

  // Connects to `service` as a client does and asks its job for its pid; 0 when no answer
  // came (within a guard against hangs).
  static pid_t AskPid(const std::string& service) {
    mach_port_t name = MACH_PORT_NULL;
    if (bootstrap_look_up(bootstrap_port, service.c_str(), &name) != KERN_SUCCESS) return 0;
    const mach::PortRight<mach::Send> server(name);
    const mach::PortRight<mach::Receive> reply = mach::AllocateReceiveRight().value();
    mach_msg_header_t request{};
    request.msgh_bits = mach::kRequestBits;
    request.msgh_size = sizeof request;
    request.msgh_remote_port = server.get();
    request.msgh_local_port = reply.get();
    request.msgh_id = 1;
    if (mach_msg(&request, MACH_SEND_MSG, sizeof request, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL) !=
        MACH_MSG_SUCCESS) {
      return 0;
    }
    mcom::Result<mach::MessageBuffer> answer = mach::MessageBuffer::Receive(reply.get(), 64, 60000);
    return answer && answer->id() != MACH_NOTIFY_SEND_ONCE ? answer->id() : 0;
  }

  // The messages of the launcher's records in the system log, checked to be records of
  // launchd's; all of them, for failure messages, as one text.
  std::vector<std::string> LauncherLog() const {
    std::ifstream log(root_.Join("private/var/log/system.log").string());
    sim::tools::LogReader reader(log);
    std::vector<std::string> messages;
    while (std::optional<sim::tools::LogEntry> entry = reader.Next()) {
      if (entry->process != "launchd") continue;
      EXPECT_EQ(entry->image_path, "/sbin/launchd");
      messages.push_back(entry->message);
    }
    return messages;
  }
  std::string LogText() const {
    std::string text;
    for (const std::string& message : LauncherLog()) text += message + "\n";
    return text;
  }
  // The place of `message` in the launcher's log; npos when it is not there.
  size_t LogIndex(const std::string& message, size_t after = 0) const {
    const std::vector<std::string> log = LauncherLog();
    for (size_t index = after; index < log.size(); ++index) {
      if (log[index] == message) return index;
    }
    return std::string::npos;
  }
  // The place of `message` once the launcher logged it. A job answers its client before the
  // launcher has recorded it, so its status and exit are waited for in the log.
  size_t WaitForLog(const std::string& message, size_t after = 0) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    size_t index = LogIndex(message, after);
    while (index == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      index = LogIndex(message, after);
    }
    return index;
  }

  static std::string Macsim(const std::vector<std::string>& arguments, bool* succeeded = nullptr) {
    const ::testing::ChildRun run = ::testing::RunCapturing(MACSIM_PATH, arguments);
    if (succeeded) *succeeded = !run.status;
    return run.output + run.error;
  }

  static pid_t ParentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    return parent;
  }

  static void WaitUntilGone(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sim::IsProcessAlive(pid) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(sim::IsProcessAlive(pid)) << pid;
  }

  bool IsSocket(const std::string& service) const {
    struct stat status {};
    return ::stat(sim::launcher::ServiceSocketPath(root_, service).c_str(), &status) == 0 &&
           S_ISSOCK(status.st_mode);
  }

  ::testing::TemporaryFolder folder_;
  const mcom::FilePath root_ = folder_.Join("mac");
  const mcom::FilePath previous_root_ = mcom::SystemRoot();
};

TEST_F(LauncherTest, StartsJobsOnDemandRestartsThemAndStopsThem) {
  JobDescription stay = Job("com.example.stay", "stay", {"com.example.stay", "com.example.stay2"});
  stay.standard_out_path = "/Library/Logs/stay.log";
  WriteJob(root_, stay);
  JobDescription once = Job("com.example.once", "once");
  once.throttle_interval = 0;
  WriteJob(root_, once);
  RunningLauncher launcher(root_);
  EXPECT_EQ(sim::launcher::testing::ReadJobPids(root_),
            (JobPids{{"com.example.once", std::nullopt}, {"com.example.stay", std::nullopt}}));
  EXPECT_TRUE(IsSocket("com.example.stay") && IsSocket("com.example.stay2"));

  // The first client starts the job, a child of the launcher; later ones reach the same one.
  const pid_t served = AskPid("com.example.stay");
  ASSERT_GT(served, 0) << LogText();
  EXPECT_EQ(ParentOf(served), launcher.pid());
  EXPECT_EQ(AskPid("com.example.stay"), served);
  WaitForJobPids(root_,
                 [served](const JobPids& pids) { return pids.at("com.example.stay") == served; });
  EXPECT_EQ(::testing::TemporaryFolder::ReadFile(root_.Join("Library/Logs/stay.log")),
            std::to_string(served) + " serving com.example.stay\n");

  // A job that exits is logged and started again by the next client.
  const pid_t first = AskPid("com.example.once");
  ASSERT_GT(first, 0) << LogText();
  EXPECT_NE(WaitForLog("com.example.once: exited with status 0"), std::string::npos) << LogText();
  const pid_t second = AskPid("com.example.once");
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);

  const std::string shown = Macsim({"show", root_.string()});
  EXPECT_THAT(shown,
              HasSubstr("Launcher:\n  running, pid " + std::to_string(launcher.pid()) + "\n"));
  EXPECT_THAT(shown, HasSubstr("\n  com.example.stay  pid " + std::to_string(served) + "\n"));
  EXPECT_THAT(shown, ContainsRegex("\n  com\\.example\\.once  (not running|pid [0-9]+)\n"));

  launcher.Stop();
  EXPECT_FALSE(sim::IsProcessAlive(served));
  EXPECT_FALSE(sim::IsProcessAlive(launcher.pid()));
  EXPECT_NE(LogIndex("com.example.stay: exited due to signal 15"), std::string::npos) << LogText();
  for (const char* service : {"com.example.stay", "com.example.stay2", "com.example.once"}) {
    EXPECT_FALSE(
        std::filesystem::exists(sim::launcher::ServiceSocketPath(root_, service).string()));
  }
  EXPECT_FALSE(std::filesystem::exists(sim::launcher::JobStatusPath(root_).string()));
  EXPECT_FALSE(std::filesystem::exists(sim::launcher::PidFilePath(root_).string()));
  EXPECT_THAT(Macsim({"show", root_.string()}), HasSubstr("Launcher:\n  not running\n"));
  bool stopped = false;
  EXPECT_EQ(Macsim({"stop", root_.string()}, &stopped),
            "no launcher runs for " + root_.string() + "\n");
  EXPECT_TRUE(stopped);
}

// As launchd does: a job is not started more often than once per ThrottleInterval.
TEST_F(LauncherTest, PushesAQuickRespawnOut) {
  JobDescription job = Job("com.example.quick", "once");
  job.throttle_interval = 1;
  WriteJob(root_, job);
  RunningLauncher launcher(root_);
  const pid_t first = AskPid("com.example.quick");
  ASSERT_GT(first, 0) << LogText();
  const pid_t second = AskPid("com.example.quick");
  ASSERT_GT(second, 0) << LogText();
  EXPECT_NE(second, first);
  const size_t exited = WaitForLog("com.example.quick: exited with status 0");
  ASSERT_NE(exited, std::string::npos) << LogText();
  const size_t pushed = LogIndex(
      "com.example.quick: Service only ran for 0 seconds. Pushing respawn out by 1 seconds.",
      exited);
  ASSERT_NE(pushed, std::string::npos) << LogText();
  EXPECT_NE(WaitForLog("com.example.quick: exited with status 0", pushed), std::string::npos)
      << LogText();
}

TEST_F(LauncherTest, ReloadsItsJobsOnHangupAndSkipsBadOnes) {
  WriteJob(root_, Job("com.example.keep", "stay"));
  WriteJob(root_, Job("com.example.drop", "stay"));
  WriteJob(root_, Job("com.example.change", "stay"));
  WriteJob(root_, Job("com.example.thief", "stay", {"com.example.keep"}));
  folder_.WriteFile("mac/Library/LaunchDaemons/broken.plist", "<plist><dict><key>Label");
  folder_.WriteFile("mac/Library/LaunchDaemons/nameless.plist",
                    "<plist><dict><key>Program</key><string>/bin/true</string></dict></plist>");
  RunningLauncher launcher(root_);
  EXPECT_THAT(LauncherLog(),
              ::testing::IsSupersetOf(
                  {"/Library/LaunchDaemons/broken.plist: skipped: not a property list",
                   "/Library/LaunchDaemons/nameless.plist: skipped: missing the required key Label",
                   "com.example.thief: skipped: the service com.example.keep belongs to "
                   "com.example.keep"}));
  const pid_t kept = AskPid("com.example.keep");
  const pid_t dropped = AskPid("com.example.drop");
  const pid_t changed = AskPid("com.example.change");
  ASSERT_TRUE(kept > 0 && dropped > 0 && changed > 0) << LogText();

  sim::launcher::testing::RemoveJob(root_, "com.example.drop");
  sim::launcher::testing::RemoveJob(root_, "com.example.thief");
  JobDescription change = Job("com.example.change", "stay");
  change.throttle_interval = 0;
  WriteJob(root_, change);
  WriteJob(root_, Job("com.example.new", "stay"));
  launcher.Reload();

  // The unchanged job runs on; the removed and the changed one were stopped.
  EXPECT_EQ(sim::launcher::testing::ReadJobPids(root_),
            (JobPids{{"com.example.keep", kept},
                     {"com.example.change", std::nullopt},
                     {"com.example.new", std::nullopt}}));
  WaitUntilGone(dropped);
  WaitUntilGone(changed);
  EXPECT_NE(WaitForLog("com.example.drop: exited due to signal 15"), std::string::npos);
  EXPECT_NE(WaitForLog("com.example.change: exited due to signal 15"), std::string::npos);
  EXPECT_FALSE(IsSocket("com.example.drop"));
  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "com.example.drop", &port),
            BOOTSTRAP_UNKNOWN_SERVICE);

  const pid_t renewed = AskPid("com.example.change");
  EXPECT_GT(renewed, 0) << LogText();
  EXPECT_NE(renewed, changed);
  EXPECT_GT(AskPid("com.example.new"), 0) << LogText();
  EXPECT_EQ(AskPid("com.example.keep"), kept);
}

TEST_F(LauncherTest, RefusesASecondLauncherAndOutlivesAKilledOne) {
  WriteJob(root_, Job("com.example.stay", "stay"));
  std::optional<RunningLauncher> launcher(std::in_place, root_);
  bool started = true;
  EXPECT_EQ(Macsim({"start", root_.string()}, &started),
            "macsim: a launcher already runs for " + root_.string() + " (pid " +
                std::to_string(launcher->pid()) + ")\n");
  EXPECT_FALSE(started);

  // The jobs go with a launcher that was killed; the next one takes over its files.
  const pid_t job = AskPid("com.example.stay");
  ASSERT_GT(job, 0) << LogText();
  const pid_t killed = launcher->pid();
  ASSERT_EQ(::kill(killed, SIGKILL), 0);
  WaitUntilGone(killed);
  WaitUntilGone(job);
  EXPECT_THAT(Macsim({"show", root_.string()}), HasSubstr("Launcher:\n  not running\n"));
  launcher.emplace(root_);
  EXPECT_NE(launcher->pid(), killed);
  const pid_t next = AskPid("com.example.stay");
  EXPECT_GT(next, 0) << LogText();
  EXPECT_NE(next, job);
  launcher.reset();

  // A service that another process serves keeps the launcher from starting.
  int taken = -1;
  ASSERT_EQ(mach_stand_in::CreateServiceListener("com.example.taken", &taken), KERN_SUCCESS);
  WriteJob(root_, Job("com.example.taker", "stay", {"com.example.taken"}));
  try {
    RunningLauncher refused(root_);
    ADD_FAILURE() << "started with a service served by another process";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot start the launcher of " + root_.string() +
                  ": the service com.example.taken of com.example.taker is served by another "
                  "process");
  }
  EXPECT_FALSE(std::filesystem::exists(sim::launcher::PidFilePath(root_).string()));
  EXPECT_FALSE(IsSocket("com.example.stay"));
  ::close(taken);
  RunningLauncher after(root_);
  EXPECT_GT(AskPid("com.example.taken"), 0) << LogText();
}

}  // namespace
