#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "app/controllers/progress.h"
#include "app/controllers/rmb_builder.h"
#include "app/model/disk_name.h"
#include "app/model/disk_records.h"
#include "core/foundation/file_path.h"

namespace app {

// What the screens ask of the system: the disks to choose from and the tasks on them. The
// operations block for the whole task and are called from a background thread; their
// failures are thrown as PlatformError.
class BackupController {
 public:
  virtual ~BackupController() = default;

  // "__OSINSTALL_ENVIRONMENT" is set and reads as true.
  virtual bool isRunningInRecovery() const = 0;
  // The APFS containers that can be backed up.
  virtual std::vector<APFSContainerInfo> sourceContainers() const = 0;
  // Backs up `source` (without one, the running system's container) into a new image at
  // `destination`, reporting on `progress`, whose total it sets to 100.
  virtual void performBackup(const std::optional<APFSContainerName>& source,
                             const mcom::FilePath& destination,
                             const std::shared_ptr<Progress>& progress) const = 0;
  // The containers and partitions that can receive a restore.
  virtual std::vector<RestoreTargetInfo> restoreTargets() const = 0;
  // Restores the image at `image` onto `target`, reporting on `progress` (total 100).
  virtual void performRestore(const mcom::FilePath& image, const DiskName& target,
                              const std::shared_ptr<Progress>& progress) const = 0;
  // Makes the restored target the start-up disk and restarts the computer; failures are
  // silent.
  virtual void restartFromTarget(const RestoreTargetInfo& target) const = 0;
  // The builder the recovery-disk window uses.
  virtual std::unique_ptr<RMBBuilder> makeRMBBuilder() const = 0;
  // Whether this process may read the whole system disk.
  virtual bool hasFullDiskAccess() const = 0;
};

// The one controller of the process: the disk model and the core library's pipelines, the
// replication done by the privileged helper outside the recovery environment.
class RealBackupController : public BackupController {
 public:
  bool isRunningInRecovery() const override;
  std::vector<APFSContainerInfo> sourceContainers() const override;
  void performBackup(const std::optional<APFSContainerName>& source,
                     const mcom::FilePath& destination,
                     const std::shared_ptr<Progress>& progress) const override;
  std::vector<RestoreTargetInfo> restoreTargets() const override;
  void performRestore(const mcom::FilePath& image, const DiskName& target,
                      const std::shared_ptr<Progress>& progress) const override;
  void restartFromTarget(const RestoreTargetInfo& target) const override;
  std::unique_ptr<RMBBuilder> makeRMBBuilder() const override;
  bool hasFullDiskAccess() const override;
};

}  // namespace app
