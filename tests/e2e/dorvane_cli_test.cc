// The dorvane command line, run as its own process: exit statuses, messages and output forms.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "tests/e2e/e2e_machine.h"

namespace e2e {
namespace {

using testing::AllOf;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs dorvane with `arguments` and an environment that holds only `environment`.
Outcome RunDorvane(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = {}) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const std::string program = DORVANE_PATH;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Outcome outcome;
  // Both pipes are drained together, so that a child filling one never blocks.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&outcome.out, &outcome.err};
  for (int open = 2; spawned == 0 && open > 0;) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        texts[i]->append(buffer, count);
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  }
  return outcome;
}

const std::vector<std::string> kRecovery{"__OSINSTALL_ENVIRONMENT=1"};

TEST(DorvaneCommandLine, BadArgumentsGiveOneLineAndStatus64) {
  E2EMachine mac;
  const std::string root = mac.root().string();
  const std::string folder = mac.folder().string();
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"--root", root, "backup", "--source", "disk9", "--to", folder + "/x"},
       "dorvane: this Mac has no disk disk9\n"},
      {{"--root", root, "backup", "--source", "diskette", "--to", folder + "/x"},
       "dorvane: 'diskette' is not a disk name (diskN or diskNsM)\n"},
      {{"--root", root, "backup", "--source", "disk0", "--to", folder + "/x"},
       "dorvane: disk0 is not an APFS container's disk\n"},
      {{"--root", root, "backup", "--to", folder},
       "dorvane: --to needs the path of the image file to write, not a folder: '" + folder + "'\n"},
      {{"--root", root, "backup", "--to", folder + "/missing/x"},
       "dorvane: no folder '" + folder + "/missing' to write the image into\n"},
      {{"--root", root, "restore", "--from", folder + "/none", "--to", "disk0"},
       "dorvane: no backup image at '" + folder + "/none'\n"},
      {{"--root", root, "restore", "--from", folder, "--to", "disk0"},
       "dorvane: '" + folder + "' is not a disk image file\n"},
      {{"--root", folder + "/nothing", "backup", "--to", folder + "/x"},
       "dorvane: no machine at '" + folder + "/nothing': not a folder\n"},
  };
  for (const auto& each : cases) {
    const Outcome outcome = RunDorvane(each.arguments, kRecovery);
    EXPECT_EQ(outcome.status, 64) << each.message;
    EXPECT_EQ(outcome.err, each.message);
    EXPECT_THAT(outcome.out, IsEmpty());
  }

  const Outcome unknown = RunDorvane({"clone"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_THAT(unknown.err, AllOf(StartsWith("dorvane: "), HasSubstr("--help")));
  EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 1);
}

TEST(DorvaneCommandLine, OutsideTheRecoveryEnvironmentItNeedsTheHelper) {
  E2EMachine mac;
  const Outcome outcome = RunDorvane(
      {"--root", mac.root().string(), "backup", "--to", mac.Scratch("Backup.sparseimage").string()},
      {"__OSINSTALL_ENVIRONMENT="});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_THAT(outcome.err, HasSubstr("replication needs the privileged helper"));
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  EXPECT_NE(::access(mac.Scratch("Backup.sparseimage").c_str(), F_OK), 0);
}

TEST(DorvaneCommandLine, BacksUpAndRestoresWithJsonProgress) {
  E2EMachine mac;
  const std::string image = mac.Scratch("Backup.sparseimage").string();
  const Outcome backup =
      RunDorvane({"--root", mac.root().string(), "--json", "backup", "--to", image}, kRecovery);
  ASSERT_EQ(backup.status, 0) << backup.err;
  // Standard output is JSON only, one object per line, whatever the tools print.
  std::istringstream lines(backup.out);
  std::string line, last;
  while (std::getline(lines, line)) {
    EXPECT_THAT(line, StartsWith("{\"type\":\"")) << line;
    last = line;
  }
  EXPECT_THAT(last, StartsWith("{\"type\":\"result\",\"success\":true"));
  EXPECT_THAT(backup.out, HasSubstr("{\"type\":\"progress\",\"fraction\":1,"));

  const mcom::DiskName blank = mac.Plug("usb-blank");
  const Outcome restore = RunDorvane({"--root", mac.root().string(), "restore", "--from", image,
                                      "--to", mcom::FormatDiskName(blank)},
                                     kRecovery);
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(restore.out, AllOf(HasSubstr("100.0%"), HasSubstr("Done in ")));
}

TEST(DorvaneCommandLine, AFailurePrintsTheWholeErrorAndStatus1) {
  E2EMachine mac;
  mac.SetFault("hdiutil.attach", "fail:Device not configured");
  const std::string image = mac.Scratch("Backup.sparseimage").string();
  const Outcome outcome =
      RunDorvane({"--root", mac.root().string(), "backup", "--to", image}, kRecovery);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_THAT(outcome.err, HasSubstr("AttachImage: failed to attach image at " + image +
                                     ": hdiutil: attach failed - Device not configured\n"));
  EXPECT_NE(::access(image.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace e2e
