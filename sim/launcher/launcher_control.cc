#include "sim/launcher/launcher_control.h"

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "sim/launcher/job_status.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/machine_error.h"

namespace sim::launcher {
namespace {

constexpr std::chrono::seconds kReloadTimeout(30);

std::optional<uint64_t> Loads(const mcom::FilePath& root) {
  const std::optional<LauncherStatus> status = ReadLauncherStatus(root);
  return status ? std::optional<uint64_t>(status->loads) : std::nullopt;
}

}  // namespace

void ReloadLauncher(const mcom::FilePath& root) {
  const std::optional<pid_t> launcher = RunningLauncherPid(root);
  const std::optional<uint64_t> before = Loads(root);
  if (!launcher || !before || ::kill(*launcher, SIGHUP) != 0) {
    throw MachineError("no launcher runs for " + root.string());
  }
  const auto deadline = std::chrono::steady_clock::now() + kReloadTimeout;
  while (Loads(root).value_or(0) <= *before) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw MachineError("the launcher of " + root.string() + " did not read its jobs again");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace sim::launcher
