#include "sim/macsim/launcher_commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "core/foundation/file.h"
#include "platform/posix/posix_error.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"
#include "sim/macsim/fixtures_folder.h"

namespace macsim {
namespace {

// Guards against a launcher that hangs: far longer than a start or a stop (at most 5 s for
// its jobs to end) takes.
constexpr std::chrono::seconds kPatience(60);

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw sim::MachineError(what + ": " + std::strerror(errno));
}

// In the forked child: the launcher in a session of its own, the ready pipe at descriptor 3
// and nothing else inherited.
[[noreturn]] void ExecLauncher(const std::string& program, const std::string& root, int ready) {
  ::setsid();
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0) ::_exit(127);
  for (int stream = 0; stream < 3; ++stream) ::dup2(null, stream);
  // dup2 onto itself would leave the descriptor close-on-exec.
  if ((ready == 3 ? ::fcntl(ready, F_SETFD, 0) : ::dup2(ready, 3)) < 0) ::_exit(127);
  ::close_range(4, ~0U, 0);
  ::execl(program.c_str(), "simlaunchd", root.c_str(), "--ready-fd", "3",
          static_cast<char*>(nullptr));
  ::_exit(127);
}

// What the launcher wrote to the ready pipe before closing it; nothing when it did not close
// it in time.
std::optional<std::string> ReadReport(const mcom::File& pipe) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::string report;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{pipe.get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[512];
    const mcom::Result<size_t> read = pipe.Read(chunk, sizeof chunk);
    if (!read || *read == 0) break;
    report.append(chunk, *read);
  }
  while (!report.empty() && report.back() == '\n') report.pop_back();
  return report;
}

std::string DescribeWaitStatus(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

void StartCommand(const mcom::FilePath& root) {
  sim::CheckMachineRoot(root);
  if (const std::optional<pid_t> running = sim::launcher::RunningLauncherPid(root)) {
    throw sim::MachineError("a launcher already runs for " + root.string() + " (pid " +
                            std::to_string(*running) + ")");
  }
  const std::string program = ExecutableFolder().Join("simlaunchd").string();
  if (::access(program.c_str(), X_OK) != 0) ThrowErrno("cannot run " + program);
  mcom::Result<mcom::Pipe> ready = mcom::CreatePipe();
  if (!ready) throw sim::MachineError("cannot make a pipe: " + ready.error().message());

  const pid_t pid = ::fork();
  if (pid < 0) ThrowErrno("cannot start the launcher");
  if (pid == 0) ExecLauncher(program, root.string(), ready->write.get());
  (void)ready->write.Close();

  const std::optional<std::string> report = ReadReport(ready->read);
  if (report == "ready") {
    // The launcher runs on; once macsim exits it is nobody's child here.
    std::cout << pid << "\n";
    return;
  }
  if (!report) ::kill(pid, SIGKILL);
  int status = 0;
  mcom::RetryOnInterrupt([&] { return ::waitpid(pid, &status, 0); });
  if (!report) {
    throw sim::MachineError("the launcher of " + root.string() + " did not get ready within " +
                            std::to_string(kPatience.count()) + " s");
  }
  if (report->empty()) {
    throw sim::MachineError("the launcher of " + root.string() + " ended before it was ready (" +
                            DescribeWaitStatus(status) + ")");
  }
  if (report->starts_with("a launcher already runs")) throw sim::MachineError(*report);
  throw sim::MachineError("cannot start the launcher of " + root.string() + ": " + *report);
}

void StopCommand(const mcom::FilePath& root) {
  sim::CheckMachineRoot(root);
  const std::optional<pid_t> pid = sim::launcher::RunningLauncherPid(root);
  if (!pid) {
    std::cout << "no launcher runs for " << root.string() << "\n";
    return;
  }
  if (::kill(*pid, SIGTERM) != 0 && errno != ESRCH) {
    ThrowErrno("cannot stop the launcher " + std::to_string(*pid));
  }
  // The launcher reaps its jobs before it lets its pid file go.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (sim::launcher::RunningLauncherPid(root) == pid || sim::IsProcessAlive(*pid)) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw sim::MachineError("the launcher of " + root.string() + " (pid " + std::to_string(*pid) +
                              ") did not stop within " + std::to_string(kPatience.count()) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace macsim
