// The dorvane command line, run as its own process: exit statuses, messages, output forms,
// and what a signal or a killed run leaves behind.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/backup/image_tools.h"
#include "core/discovery/apfs_container.h"
#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/blockers.h"
#include "tests/e2e/e2e_machine.h"

namespace e2e {
namespace {

using testing::AllOf;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

const std::vector<std::string> kRecovery{"__OSINSTALL_ENVIRONMENT=1"};

// dorvane running in the background, with an environment that holds only `environment`, while
// the test interferes; its two streams are drained together until it ends.
class DorvaneProcess {
 public:
  explicit DorvaneProcess(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment = kRecovery,
                          const std::string& program = DORVANE_PATH) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    fds_[0] = {out[0], POLLIN, 0};
    fds_[1] = {err[0], POLLIN, 0};
  }

  ~DorvaneProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Finish();
    }
  }

  pid_t pid() const { return pid_; }

  // Reads to the end and waits for the process; the status is -1 for a process killed by a
  // signal.
  Outcome Finish() {
    while (ReadSome()) {
    }
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) {
      outcome_.status = WEXITSTATUS(status);
    }
    pid_ = -1;
    return outcome_;
  }

 private:
  // Both pipes are drained together, so that a child filling one never blocks.
  bool ReadSome() {
    if (fds_[0].fd < 0 && fds_[1].fd < 0) return false;
    if (::poll(fds_, 2, -1) < 0) return false;
    std::string* texts[2] = {&outcome_.out, &outcome_.err};
    for (int i = 0; i < 2; ++i) {
      if (fds_[i].fd < 0 || !fds_[i].revents) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds_[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        texts[i]->append(buffer, count);
      } else {
        ::close(fds_[i].fd);
        fds_[i].fd = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  pollfd fds_[2] = {{-1, 0, 0}, {-1, 0, 0}};
  Outcome outcome_;
};

Outcome RunDorvane(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = kRecovery,
                   const std::string& program = DORVANE_PATH) {
  return DorvaneProcess(arguments, environment, program).Finish();
}

// The last line of `text`.
std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

// The arguments of process `pid`, separated by NULs; empty for a process that has ended (a
// zombie has none, and reading fails once it is gone).
std::string CommandLineOf(pid_t pid) {
  const int fd =
      ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string line;
  char buffer[4096];
  for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) line.append(buffer, count);
  ::close(fd);
  return line;
}

// The processes whose command line mentions `text` (the machine's root: its tools).
std::vector<pid_t> ProcessesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::string line = CommandLineOf(pid);
    if (line.find(text) != std::string::npos) found.push_back(pid);
  }
  if (proc) ::closedir(proc);
  return found;
}

// Polls `condition` until it holds; false (and the test fails) when it still does not after a
// minute, so that a run that went wrong fails the test instead of hanging it.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "waited a minute in vain";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether a process whose command line holds both `root` and `word` runs.
bool ToolRuns(const std::string& root, const std::string& word) {
  const std::vector<pid_t> tools = ProcessesMentioning(root);
  return std::any_of(tools.begin(), tools.end(),
                     [&](pid_t pid) { return CommandLineOf(pid).find(word) != std::string::npos; });
}

// The live process that claims a disk (asr copying), or 0.
pid_t Copier(sim::Machine& machine) {
  for (const sim::Claim& claim : machine.Read().claims) {
    if (sim::IsProcessAlive(claim.pid)) return claim.pid;
  }
  return 0;
}

class DorvaneCommandLine : public testing::Test {
 protected:
  std::string root() const { return mac_.root().string(); }
  std::string image() const { return mac_.Scratch("Backup.sparseimage").string(); }

  // A first, complete backup at image(), which later runs must never lose.
  std::string MakeEarlierBackup() {
    const Outcome first = RunDorvane({"--root", root(), "backup", "--to", image()});
    EXPECT_EQ(first.status, 0) << first.err;
    return FileSignature(mcom::FilePath(image()));
  }

  // Nothing attached, no partial file, no tool still running.
  void ExpectNothingLeft() {
    EXPECT_THAT(mac_.AttachedImages(), IsEmpty());
    for (const std::string& name : mac_.ScratchNames()) {
      EXPECT_THAT(name, Not(HasSubstr("partial")));
    }
    EXPECT_THAT(ProcessesMentioning(root()), IsEmpty());
  }

  E2EMachine mac_;
};

TEST_F(DorvaneCommandLine, BadArgumentsAndRefusedTargetsGiveOneLineAndStatus64) {
  const std::string folder = mac_.folder().string();
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"--root", root(), "backup", "--source", "disk9", "--to", folder + "/x"},
       "dorvane: this Mac has no disk disk9\n"},
      {{"--root", root(), "backup", "--source", "diskette", "--to", folder + "/x"},
       "dorvane: 'diskette' is not a disk name (diskN or diskNsM)\n"},
      {{"--root", root(), "backup", "--source", "disk0", "--to", folder + "/x"},
       "dorvane: disk0 is not an APFS container that can be backed up; the backup sources are "
       "disk1 (APFS Container on APPLE SSD AP0512M Media)\n"},
      {{"--root", root(), "backup", "--to", folder},
       "dorvane: --to needs the path of the image file to write, not a folder: '" + folder + "'\n"},
      {{"--root", root(), "backup", "--to", folder + "/missing/x"},
       "dorvane: no folder '" + folder + "/missing' to write the image into\n"},
      {{"--root", root(), "restore", "--from", folder + "/none", "--to", "disk0"},
       "dorvane: no backup image at '" + folder + "/none'\n"},
      {{"--root", root(), "restore", "--from", folder, "--to", "disk0"},
       "dorvane: '" + folder + "' is not a disk image file\n"},
      {{"--root", folder + "/nothing", "backup", "--to", folder + "/x"},
       "dorvane: no machine at '" + folder + "/nothing': not a folder\n"},
  };
  for (const auto& each : cases) {
    const Outcome outcome = RunDorvane(each.arguments);
    EXPECT_EQ(outcome.status, 64) << each.message;
    EXPECT_EQ(outcome.err, each.message);
    EXPECT_THAT(outcome.out, IsEmpty());
  }

  const Outcome unknown = RunDorvane({"clone"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_THAT(unknown.err, AllOf(StartsWith("dorvane: "), HasSubstr("--help")));
  EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 1);

  // A target that must not be erased is refused before anything is attached or changed.
  MakeEarlierBackup();
  const mcom::DiskName system_disk = *mcom::ParseDiskName("disk0");
  const std::string before = mac_.DiskState(system_disk);
  const Outcome system =
      RunDorvane({"--root", root(), "restore", "--from", image(), "--to", "disk1"});
  EXPECT_EQ(system.status, 64);
  EXPECT_THAT(system.err, AllOf(StartsWith("dorvane: "), HasSubstr("running system")));
  EXPECT_EQ(mac_.DiskState(system_disk), before);

  // Only what the application offers is backed up or restored onto; what is not says what
  // to name instead.
  const mcom::DiskName apfs = mac_.Plug("usb-apfs");
  const mcom::DiskName blank = mac_.Plug("usb-blank");
  const std::optional<APFSContainerName> usb =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{apfs.disk, 2});
  ASSERT_TRUE(usb);
  const std::string container = mcom::FormatDiskName(usb->name);
  const std::string on_usb = container + " (APFS Container on Generic External SSD Media)";
  const std::string usb_before = mac_.DiskState(apfs), blank_before = mac_.DiskState(blank);
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } offered[] = {
      {{"backup", "--source", "disk1s1", "--to", folder + "/y"},
       "disk1s1 is not an APFS container that can be backed up; the backup sources are disk1 "
       "(APFS Container on APPLE SSD AP0512M Media), " +
           on_usb},
      {{"restore", "--from", image(), "--to", mcom::FormatDiskName(apfs)},
       mcom::FormatDiskName(apfs) +
           " is a whole disk; restore onto the restore target on it: " + on_usb},
      {{"restore", "--from", image(), "--to", mcom::FormatDiskName(apfs) + "s2"},
       mcom::FormatDiskName(apfs) +
           "s2 holds an APFS container; restore onto the restore target on it: " + on_usb},
      {{"restore", "--from", image(), "--to", mcom::FormatDiskName(blank)},
       mcom::FormatDiskName(blank) +
           " is not a restore target (an APFS container's disk or a partition); the restore "
           "targets are disk1 (APFS Container on APPLE SSD AP0512M Media), " +
           on_usb},
  };
  for (const auto& each : offered) {
    std::vector<std::string> arguments{"--root", root()};
    arguments.insert(arguments.end(), each.arguments.begin(), each.arguments.end());
    const Outcome outcome = RunDorvane(arguments);
    EXPECT_EQ(outcome.status, 64) << each.message;
    EXPECT_EQ(outcome.err, "dorvane: " + each.message + "\n");
    EXPECT_THAT(outcome.out, IsEmpty());
  }
  EXPECT_EQ(mac_.DiskState(apfs), usb_before);
  EXPECT_EQ(mac_.DiskState(blank), blank_before);
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("Backup.sparseimage"));
  ExpectNothingLeft();
}

// Every exit, whatever its status, ends with one JSON result object, and standard output holds
// nothing else.
TEST_F(DorvaneCommandLine, EveryExitEndsWithOneJsonResult) {
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    int status;
  } cases[] = {
      {{"--json", "clone"}, kRecovery, 64},
      {{"--root", root(), "backup", "--to", image(), "--json"}, {"__OSINSTALL_ENVIRONMENT="}, 1},
      {{"--version", "--json"}, kRecovery, 0},
      {{"--root", root(), "backup", "--json", "--to", image()}, kRecovery, 0},
      {{"--root", root(), "--json", "restore", "--from", image(), "--to", "disk9"}, kRecovery, 64},
  };
  for (const auto& each : cases) {
    const Outcome outcome = RunDorvane(each.arguments, each.environment);
    EXPECT_EQ(outcome.status, each.status) << outcome.err;
    std::istringstream lines(outcome.out);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_THAT(line, AllOf(StartsWith("{\"type\":\""), EndsWith("}"))) << line;
      EXPECT_THAT(line, Not(testing::ContainsRegex("[0-9]e[-+]?[0-9]"))) << line;
    }
    EXPECT_THAT(LastLine(outcome.out),
                AllOf(StartsWith("{\"type\":\"result\",\"success\":" +
                                 std::string(each.status == 0 ? "true" : "false") +
                                 ",\"exit_status\":" + std::to_string(each.status)),
                      Not(HasSubstr("\\n\""))));
  }
  // A finished task's result carries the application's texts.
  const Outcome backup = RunDorvane({"--root", root(), "--json", "backup", "--to", image()});
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_THAT(LastLine(backup.out),
              testing::ContainsRegex("\"message\":\"Backup completed!\",\"information\":\"All "
                                     "data is backed up successfully\\\\nTime taken: [^\"]+"
                                     "\\\\nBackup size: [^\"]+\\\\nBackup date: [^\"]+\"}$"));
  EXPECT_THAT(backup.out, Not(HasSubstr("\nBackup completed!")));
}

// Outside the recovery environment only the bundle's dorvane replicates: through the helper
// it installs from its bundle.
TEST_F(DorvaneCommandLine, OutsideTheRecoveryEnvironmentTheBundlesCopyWorksThroughTheHelper) {
  const std::vector<std::string> running{"__OSINSTALL_ENVIRONMENT="};
  const Outcome outside = RunDorvane({"--root", root(), "backup", "--to", image()}, running);
  EXPECT_EQ(outside.status, 1);
  EXPECT_THAT(outside.err, HasSubstr("only the copy inside the application bundle"));
  EXPECT_THAT(mac_.ScratchNames(), IsEmpty());
  const std::string bundled = DORVANE_BUNDLE_PATH "/Contents/MacOS/dorvane";
  if (::geteuid() == 0) {
    // The bundle's copy run by a normal user: the helper would not serve it.
    std::filesystem::permissions(mac_.folder().string(), std::filesystem::perms(0755));
    const Outcome as_user = RunDorvane({"--reuid=65534", "--regid=65534", "--clear-groups", bundled,
                                        "--root", root(), "backup", "--to", image()},
                                       running, "/usr/bin/setpriv");
    EXPECT_EQ(as_user.status, 1);
    EXPECT_THAT(as_user.err, HasSubstr("serves it only when it runs as root"));
    EXPECT_THAT(mac_.ScratchNames(), IsEmpty());
  }

  sim::launcher::testing::RunningLauncher launcher(mac_.root());
  const Outcome backup =
      RunDorvane({"--root", root(), "backup", "--to", image()}, running, bundled);
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_TRUE(std::filesystem::exists(
      mac_.root()
          .Join("Library/PrivilegedHelperTools/com.halvex-software.Dorvane.helper")
          .string()));
  EXPECT_THAT(testing::TemporaryFolder::ReadFile(mac_.root().Join("private/var/log/system.log")),
              HasSubstr("com.halvex-software.Dorvane.helper"));

  // The restore goes through the same helper, onto a container of the running Mac.
  const mcom::DiskName usb = mac_.Plug("usb-apfs");
  const std::optional<APFSContainerName> restored =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb.disk, 2});
  ASSERT_TRUE(restored);
  const Outcome restore = RunDorvane({"--root", root(), "restore", "--from", image(), "--to",
                                      mcom::FormatDiskName(restored->name)},
                                     running, bundled);
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(mac_.ContainerDifferences(mac_.SystemContainer(), *restored), IsEmpty());
  launcher.Stop();  // with the helper it runs
  ExpectNothingLeft();
}

// The log archive comes from the helper as a descriptor; dorvane writes it whole under the
// name asked for, never over an existing file unless told to, and nothing without an archive.
TEST_F(DorvaneCommandLine, LogsComeThroughTheHelperAndReplaceAFileOnlyWithForce) {
  const std::vector<std::string> running{"__OSINSTALL_ENVIRONMENT="};
  const std::string bundled = DORVANE_BUNDLE_PATH "/Contents/MacOS/dorvane";
  const std::string archive = mac_.Scratch("Logs.zip").string();
  const Outcome outside = RunDorvane({"--root", root(), "logs", "--to", archive}, running);
  EXPECT_EQ(outside.status, 1);
  EXPECT_THAT(outside.err, HasSubstr("only the copy inside the application bundle"));

  sim::launcher::testing::RunningLauncher launcher(mac_.root());
  const Outcome logs = RunDorvane({"--root", root(), "logs", "--to", archive}, running, bundled);
  ASSERT_EQ(logs.status, 0) << logs.err;
  const auto is_bundle = [](const std::string& contents) {
    return contents.starts_with("PK\x03\x04") &&
           contents.find("sw_vers.log") != std::string::npos &&
           contents.find("logs.logarchive/") != std::string::npos;
  };
  EXPECT_TRUE(is_bundle(testing::TemporaryFolder::ReadFile(mcom::FilePath(archive))));

  mac_.WriteScratch("Logs.zip", "earlier");
  const Outcome refused = RunDorvane({"--root", root(), "logs", "--to", archive}, running, bundled);
  EXPECT_EQ(refused.status, 64);
  EXPECT_EQ(refused.err, "dorvane: '" + archive + "' exists; --force replaces it\n");
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(mcom::FilePath(archive)), "earlier");
  const Outcome forced =
      RunDorvane({"--root", root(), "logs", "--to", archive, "--force"}, running, bundled);
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_TRUE(is_bundle(testing::TemporaryFolder::ReadFile(mcom::FilePath(archive))));

  // A collection that fails in the helper leaves dorvane without an archive.
  mac_.SetFault("log.collect", "fail");
  const Outcome failed = RunDorvane(
      {"--root", root(), "logs", "--to", mac_.Scratch("Other.zip").string()}, running, bundled);
  EXPECT_EQ(failed.status, 1);
  EXPECT_THAT(failed.err, HasSubstr("the privileged helper gave no log archive"));
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("Logs.zip"));
  launcher.Stop();
  ExpectNothingLeft();
}

// What a user lives through: a backup through the helper, a recovery disk built on a USB
// disk, a start from it, the internal disk restored with the recovery disk's own dorvane,
// and a start from the restored system.
TEST_F(DorvaneCommandLine, BackUpBuildARecoveryDiskStartFromItRestoreAndStartAgain) {
  const std::vector<std::string> running{"__OSINSTALL_ENVIRONMENT="};
  const std::string bundled = DORVANE_BUNDLE_PATH "/Contents/MacOS/dorvane";
  const std::string macsim = mcom::FilePath(DORVANE_PATH).Parent().Join("macsim").string();
  const APFSContainerName internal = mac_.SystemContainer();
  const std::string usb = mcom::FormatDiskName(mac_.Plug("usb-blank"));
  {
    sim::launcher::testing::RunningLauncher launcher(mac_.root());
    const Outcome backup =
        RunDorvane({"--root", root(), "backup", "--to", image()}, running, bundled);
    ASSERT_EQ(backup.status, 0) << backup.err;
    const Outcome built =
        RunDorvane({"--root", root(), "recovery-disk", "--to", usb}, running, bundled);
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_THAT(built.out, AllOf(HasSubstr("Customize Base System image"),
                                 HasSubstr("Compress Base System image")));
  }
  const Outcome recovery = RunDorvane({"boot", root(), "--from", usb}, {}, macsim);
  ASSERT_EQ(recovery.status, 0) << recovery.err;

  // The recovery environment's copy of the application restores the internal disk, then
  // starts the Mac from it.
  const std::string recovery_dorvane = root() + "/Applications/Dorvane.app/Contents/MacOS/dorvane";
  const Outcome restore = RunDorvane({"--root", root(), "restore", "--from", image(), "--to",
                                      mcom::FormatDiskName(internal.name), "--restart"},
                                     kRecovery, recovery_dorvane);
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(restore.out, HasSubstr("Restore completed! Restart your Mac!\n"));
  EXPECT_THAT(restore.err, HasSubstr("dorvane: restarting from APFS Container on "));
  {
    // Every restored volume is the backup's.
    const AttachedImage backup = AttachImage(mcom::FilePath(image()), kAttachReadOnly);
    const std::optional<APFSContainerName> backed_up = mcom::FindAPFSContainerOnDisk(backup.disk);
    ASSERT_TRUE(backed_up);
    EXPECT_THAT(mac_.ContainerDifferences(*backed_up, internal), IsEmpty());
  }
  const std::vector<std::string> names = mac_.VolumeNames(internal);
  const auto preboot = std::find(names.begin(), names.end(), "Preboot");
  ASSERT_NE(preboot, names.end());
  const mcom::DiskName preboot_disk{internal.name.disk,
                                    static_cast<uint32_t>(preboot - names.begin() + 1)};
  const sim::Boot boot = mac_.machine().Read().boot;
  EXPECT_EQ(boot.device, mcom::FormatDiskName(preboot_disk));
  EXPECT_TRUE(boot.restart_requested);
  const Outcome restarted = RunDorvane({"boot", root()}, {}, macsim);
  ASSERT_EQ(restarted.status, 0) << restarted.err;
  EXPECT_EQ(mac_.SystemContainer().name, internal.name);
  EXPECT_TRUE(std::filesystem::exists(root() + "/System/Library/CoreServices/SystemVersion.plist"));
}

// The disks as the application lists them, read back by an independent JSON reader: the
// system's and a plugged container as sources; as targets the containers and the plugged
// HFS+ partition, never an EFI system partition.
TEST_F(DorvaneCommandLine, ListShowsTheDisksAsTheApplicationDoes) {
  const std::string hfs = mcom::FormatDiskName(mac_.Plug("usb-hfs"));
  const mcom::DiskName plugged = mac_.Plug("usb-apfs");
  const std::optional<APFSContainerName> usb =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{plugged.disk, 2});
  ASSERT_TRUE(usb);
  const std::string system = mcom::FormatDiskName(mac_.SystemContainer().name);
  const std::string external = mcom::FormatDiskName(usb->name);

  const Outcome listed = RunDorvane({"--root", root(), "list", "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const mcom::FilePath json = mac_.WriteScratch("list.json", listed.out);
  const Outcome read = RunDorvane(
      {"-c",
       "import json, sys\n"
       "lines = [json.loads(line) for line in open(sys.argv[1])]\n"
       "disks, result = lines\n"
       "assert disks['type'] == 'disks' and result['success'] and result['exit_status'] == 0\n"
       "for s in disks['sources']:\n"
       "  print('source', s['disk'], s['internal'], len(s['volumes']), 0 < s['used'] <= "
       "s['size'])\n"
       "for t in disks['targets']:\n"
       "  print('target', t['kind'], t['disk'], t['description'])\n",
       json.string()},
      {}, "/usr/bin/python3");
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "source " + system + " True 5 True\nsource " + external +
                          " False 1 True\ntarget apfs_container " + system +
                          " APFS Container on APPLE SSD AP0512M Media\ntarget partition " + hfs +
                          "s2 USB HFS on Generic Flash Disk Media\ntarget apfs_container " +
                          external + " APFS Container on Generic External SSD Media\n");

  const Outcome text = RunDorvane({"--root", root(), "list"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_THAT(text.out,
              AllOf(StartsWith("Backup sources:\n  " + system + "  APFS Container on "),
                    HasSubstr("\nRestore targets:\n"),
                    HasSubstr("\n  " + hfs + "s2  USB HFS on Generic Flash Disk Media\n")));
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("list.json"));
}

// A helper killed during the copy fails the backup at once; the earlier backup and nothing
// else is left, and the next run has the launcher start a new helper.
TEST_F(DorvaneCommandLine, AHelperKilledMidCopyFailsTheRunAtOnceAndTheNextRunGetsANewOne) {
  const std::vector<std::string> running{"__OSINSTALL_ENVIRONMENT="};
  const std::string bundled = DORVANE_BUNDLE_PATH "/Contents/MacOS/dorvane";
  const std::string earlier = MakeEarlierBackup();
  sim::launcher::testing::RunningLauncher launcher(mac_.root());
  mac_.SetFault("asr.restore", "hold-after-percent:30");
  DorvaneProcess backup({"--root", root(), "backup", "--to", image()}, running, bundled);
  ASSERT_TRUE(Eventually([&] { return Copier(mac_.machine()) != 0; }));
  const std::optional<pid_t> helper =
      sim::launcher::testing::ReadJobPids(mac_.root())["com.halvex-software.Dorvane.helper"];
  ASSERT_TRUE(helper);
  ASSERT_EQ(::kill(*helper, SIGKILL), 0);
  // The copy is still held: the run must not wait for it.
  const Outcome outcome = backup.Finish();
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_THAT(LastLine(outcome.err), HasSubstr("helper communication error"));
  EXPECT_EQ(FileSignature(mcom::FilePath(image())), earlier);
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("Backup.sparseimage"));
  EXPECT_THAT(mac_.AttachedImages(), IsEmpty());

  mac_.SetFault("asr.restore", "");
  const Outcome next = RunDorvane({"--root", root(), "backup", "--to", image()}, running, bundled);
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_THAT(next.err, Not(HasSubstr("removed what interrupted runs left behind")));
  EXPECT_NE(FileSignature(mcom::FilePath(image())), earlier);
  EXPECT_NE(sim::launcher::testing::ReadJobPids(mac_.root())["com.halvex-software.Dorvane.helper"],
            helper);
  launcher.Stop();
  ExpectNothingLeft();
}

TEST_F(DorvaneCommandLine, BacksUpAndRestoresWithCleanProgress) {
  // The extension the disk-image tool insists on is added, and dorvane says so.
  const std::string bare = mac_.Scratch("Backup").string();
  const Outcome backup = RunDorvane({"--root", root(), "backup", "--to", bare});
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_THAT(backup.err, HasSubstr("writing the image to " + image()));
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("Backup.sparseimage"));
  // The tools' own output stays out of the progress; so do asr's "done" and device lines.
  EXPECT_THAT(backup.out,
              AllOf(HasSubstr("Replicating (1/"), HasSubstr("Done in "), Not(HasSubstr("--- run")),
                    Not(HasSubstr("\ndone\n")), Not(HasSubstr("Restored target device"))));
  EXPECT_THAT(backup.err, Not(HasSubstr("--- run")));
  // The result as the application words it follows the progress.
  EXPECT_THAT(backup.out,
              testing::ContainsRegex("\nDone in [^\n]*\nBackup completed!\nAll data is backed up "
                                     "successfully\nTime taken: [0-9]+:[0-9]{2}:[0-9]{2} (AM|PM)\n"
                                     "Backup size: [0-9.]+ [KMG]B\nBackup date: [^\n]+\n$"));

  // Onto the HFS+ partition, which becomes a container.
  const mcom::DiskName hfs = mac_.Plug("usb-hfs");
  const Outcome restore = RunDorvane(
      {"--root", root(), "restore", "--from", image(), "--to", mcom::FormatDiskName(hfs) + "s2"});
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(restore.out, AllOf(HasSubstr("100.0%"),
                                 testing::ContainsRegex("\nDone in [^\n]*\nRestore completed! "
                                                        "Restart your Mac!\nAll data is restored "
                                                        "successfully!\nTime taken: [^\n]+\n$")));
  const std::optional<APFSContainerName> restored =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{hfs.disk, 2});
  ASSERT_TRUE(restored);
  EXPECT_THAT(mac_.ContainerDifferences(mac_.SystemContainer(), *restored), IsEmpty());
  // Without --restart the Mac is left as it is.
  EXPECT_FALSE(mac_.machine().Read().boot.restart_requested);
  ExpectNothingLeft();
}

TEST_F(DorvaneCommandLine, AFailureShowsTheToolsOutputThenTheWholeErrorAndStatus1) {
  const std::string earlier = MakeEarlierBackup();
  mac_.SetFault("hdiutil.attach", "fail:Device not configured");
  const Outcome outcome = RunDorvane({"--root", root(), "backup", "--to", image()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_THAT(outcome.err, HasSubstr("created: "));  // what hdiutil create printed
  EXPECT_THAT(LastLine(outcome.err),
              AllOf(HasSubstr("AttachImage: failed to attach image at " + mac_.folder().string() +
                              "/Backup.dorvane-partial-"),
                    EndsWith(": hdiutil: attach failed - Device not configured")));
  EXPECT_EQ(FileSignature(mcom::FilePath(image())), earlier);
  ExpectNothingLeft();
}

// A signal stops the copy, the clean-up runs, one line says what happened, and the status is
// 128 + the signal; the earlier backup is untouched.
TEST_F(DorvaneCommandLine, ASignalMidCopyCleansUpAndExitsWith128PlusTheSignal) {
  const std::string earlier = MakeEarlierBackup();
  mac_.SetFault("asr.restore", "hold-after-percent:30");
  DorvaneProcess backup({"--root", root(), "backup", "--to", image()});
  ASSERT_TRUE(Eventually([&] { return Copier(mac_.machine()) != 0; }));
  ASSERT_EQ(::kill(backup.pid(), SIGINT), 0);
  Outcome outcome = backup.Finish();
  EXPECT_EQ(outcome.status, 130) << outcome.err;
  EXPECT_THAT(LastLine(outcome.err), StartsWith("dorvane: stopped by SIGINT; no backup was made"));
  EXPECT_EQ(FileSignature(mcom::FilePath(image())), earlier);
  ExpectNothingLeft();

  // A restore stopped half-way says that its target was erased.
  const mcom::DiskName usb = mac_.Plug("usb-apfs");
  const std::optional<APFSContainerName> container =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb.disk, 2});
  ASSERT_TRUE(container);
  const std::string target = mcom::FormatDiskName(container->name);
  DorvaneProcess restore({"--root", root(), "restore", "--from", image(), "--to", target});
  ASSERT_TRUE(Eventually([&] { return Copier(mac_.machine()) != 0; }));
  ASSERT_EQ(::kill(restore.pid(), SIGHUP), 0);
  outcome = restore.Finish();
  EXPECT_EQ(outcome.status, 129) << outcome.err;
  EXPECT_THAT(LastLine(outcome.err),
              AllOf(StartsWith("dorvane: stopped by SIGHUP; "),
                    HasSubstr(" was erased and holds an incomplete copy of " + image())));
  ExpectNothingLeft();
}

// The final detach is never cut off: it finishes, then the backup stops and removes its
// partial image.
TEST_F(DorvaneCommandLine, ASignalDuringTheDetachKeepsTheEarlierBackup) {
  const std::string earlier = MakeEarlierBackup();
  mac_.SetFault("hdiutil.detach", "hold-at-start");
  DorvaneProcess backup({"--root", root(), "--json", "backup", "--to", image()});
  ASSERT_TRUE(Eventually([&] { return ToolRuns(root(), "detach"); }));
  ASSERT_EQ(::kill(backup.pid(), SIGTERM), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  mac_.SetFault("hdiutil.detach", "");
  const Outcome outcome = backup.Finish();
  EXPECT_EQ(outcome.status, 143) << outcome.err;
  EXPECT_THAT(LastLine(outcome.out), HasSubstr("\"exit_status\":143"));
  EXPECT_EQ(FileSignature(mcom::FilePath(image())), earlier);
  ExpectNothingLeft();
}

// A run killed outright leaves its image attached and its partial file; the next run removes
// both and says so.
TEST_F(DorvaneCommandLine, TheNextRunCleansUpAfterAKilledOne) {
  mac_.SetFault("asr.restore", "hold-after-percent:30");
  {
    DorvaneProcess killed({"--root", root(), "backup", "--to", image()});
    pid_t asr = 0;
    ASSERT_TRUE(Eventually([&] { return (asr = Copier(mac_.machine())) != 0; }));
    ASSERT_EQ(::kill(killed.pid(), SIGKILL), 0);
    ASSERT_EQ(::kill(asr, SIGKILL), 0);
  }
  ASSERT_TRUE(Eventually([&] { return ProcessesMentioning(root()).empty(); }));
  ASSERT_THAT(mac_.AttachedImages(), testing::SizeIs(1));
  ASSERT_THAT(mac_.ScratchNames(), ElementsAre(StartsWith("Backup.dorvane-partial-")));

  mac_.SetFault("asr.restore", "");
  const Outcome next = RunDorvane({"--root", root(), "backup", "--to", image()});
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_THAT(next.err, HasSubstr("dorvane: removed what interrupted runs left behind: " +
                                  mac_.folder().string() + "/Backup.dorvane-partial-"));
  EXPECT_THAT(mac_.ScratchNames(), ElementsAre("Backup.sparseimage"));
  ExpectNothingLeft();
}

}  // namespace
}  // namespace e2e
