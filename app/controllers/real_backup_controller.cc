#include <exception>
#include <optional>
#include <string>

#include "app/client/recovery_environment.h"
#include "app/controllers/backup_controller.h"
#include "app/controllers/bridge.h"
#include "app/model/disk_model.h"
#include "app/model/preboot_lookup.h"
#include "core/foundation/full_disk_access.h"
#include "core/foundation/process.h"

namespace app {

namespace {

// Starts `program` and waits for it; a restart goes on (or quietly does not happen) whatever
// the tool says, and the result screen stays.
void RunIgnoringFailure(const char* program, const std::vector<std::string>& arguments) {
  try {
    mcom::RunAndCheck(program, arguments);
  } catch (const std::exception&) {
  }
}

}  // namespace

bool RealBackupController::isRunningInRecovery() const { return IsRunningInRecoveryEnvironment(); }

std::vector<APFSContainerInfo> RealBackupController::sourceContainers() const {
  return SourceContainers();
}

void RealBackupController::performBackup(const std::optional<APFSContainerName>& source,
                                         const mcom::FilePath& destination,
                                         const std::shared_ptr<Progress>& progress) const {
  std::optional<bridge::ContainerName> name;
  if (source) name = bridge::ContainerNameOf(source->diskName);
  bridge::Backup(name, destination, progress);
}

std::vector<RestoreTargetInfo> RealBackupController::restoreTargets() const {
  return RestoreTargets();
}

void RealBackupController::performRestore(const mcom::FilePath& image, const DiskName& target,
                                          const std::shared_ptr<Progress>& progress) const {
  bridge::Restore(image, bridge::ContainerNameOf(target), progress);
}

void RealBackupController::restartFromTarget(const RestoreTargetInfo& target) const {
  if (const std::optional<DiskName> preboot = PrebootVolumeOfTarget(target)) {
    RunIgnoringFailure("/usr/sbin/bless",
                       {"--device", "/dev/" + FormatDiskName(*preboot), "--setBoot"});
  }
  RunIgnoringFailure("/sbin/reboot", {});
}

std::unique_ptr<RMBBuilder> RealBackupController::makeRMBBuilder() const {
  return std::make_unique<RealRMBBuilder>();
}

bool RealBackupController::hasFullDiskAccess() const { return mcom::HasFullDiskAccess(); }

}  // namespace app
