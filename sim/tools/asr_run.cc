#include "sim/tools/asr_run.h"

#include <cinttypes>
#include <cstdio>
#include <ostream>

#include "sim/machine/path_users.h"
#include "sim/tools/stop_request.h"

namespace sim::tools {

void ThrowIfVolumeInUse(const Volume& volume) {
  if (!volume.is_mounted()) return;
  const std::vector<pid_t> users = ProcessesUsingPath(mcom::FilePath(volume.mount_point));
  if (users.empty()) return;
  throw AsrError("Could not validate target - Resource busy: /dev/" +
                 mcom::FormatDiskName(volume.disk) + " at " + volume.mount_point +
                 " is in use by process " + std::to_string(users.front()));
}

std::string CopiedLine(uint64_t bytes, std::chrono::duration<double> elapsed) {
  const double seconds = elapsed.count();
  const double rate = seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0;
  char line[160];
  std::snprintf(line, sizeof line, "Copied %" PRIu64 " bytes in %.2f seconds, %.2f KiB/s", bytes,
                seconds, rate);
  return line;
}

AsrRun::AsrRun(ToolContext& context, std::optional<AsrFault> fault)
    : context_(context), fault_(std::move(fault)), out_(context.out()) {}

std::optional<int> AsrRun::Start() {
  if (fault_ && fault_->point == AsrFault::Point::kBeforeStart) {
    context_.err() << "asr: " << fault_->message << std::endl;
    return fault_->status;
  }
  // The fields after "start" are the tool's version and its mode; readers ignore them.
  out_.Status("start\t578\tlocal");
  if (fault_ && fault_->point == AsrFault::Point::kAtStart) {
    throw AsrError(fault_->message, fault_->status);
  }
  return std::nullopt;
}

namespace {

// What the real tool reports when it is stopped in the middle of a copy.
AsrError Canceled() { return AsrError("Could not restore - Operation canceled"); }

}  // namespace

void AsrRun::AfterVolume(uint32_t copied) {
  if (StopRequested() != 0) throw Canceled();
  if (fault_ && fault_->FailsAfterVolume(copied)) throw AsrError(fault_->message, fault_->status);
}

bool AsrRun::MayContinueAt(uint32_t percent) {
  if (fault_ && !held_ && fault_->HoldsAtPercent(percent)) {
    held_ = true;
    context_.HoldWhileFaultIs("restore", fault_->value);
  }
  if (StopRequested() != 0) return false;
  return !fault_ || !fault_->FailsAtPercent(percent);
}

AsrError AsrRun::PercentFault() const {
  if (StopRequested() != 0) return Canceled();
  return fault_ ? AsrError(fault_->message, fault_->status) : AsrError("Could not restore");
}

void AsrRun::AtExit() {
  if (fault_ && fault_->point == AsrFault::Point::kAtExit) {
    throw AsrError(fault_->message, fault_->status);
  }
}

int AsrRun::Fail(const AsrError& error) {
  out_.Error(error.what());
  context_.err() << "asr: " << error.what() << std::endl;
  out_.Status("fail");
  return error.status();
}

}  // namespace sim::tools
