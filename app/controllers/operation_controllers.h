#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controllers/backup_controller.h"
#include "app/controllers/operation_result.h"
#include "app/controllers/progress.h"
#include "app/model/disk_records.h"
#include "core/foundation/file_path.h"

namespace app {

// The recovery disk's names: the short one of headings and buttons, the full one where the
// recovery-disk window introduces the disk.
extern std::string recoveryDiskName;      // "Recovery Disk"
extern std::string recoveryDiskFullName;  // "Halvex Recovery Disk"

// The backup task of the operation screen: backs up a container into a new image file.
struct BackupOperationController {
  std::shared_ptr<const BackupController> backupController;
  std::string title;
  std::string progressTitle;
  std::string activeProgressTitle;
  std::string actionName;
  bool resetSourceWhenDone = false;
  std::optional<OperationInterruptionWarning> interruptionWarning;
  std::function<void()> openRecoveryMediaBuilder;

  // The controller with the texts of the main window.
  static BackupOperationController Make(std::shared_ptr<const BackupController> controller,
                                        std::function<void()> openRecoveryMediaBuilder);

  // Blocks for the whole backup; never throws for a failed backup.
  OperationResult perform(const APFSContainerInfo& source, const mcom::FilePath& target,
                          const std::shared_ptr<Progress>& progress) const;
};

// The restore task: restores a backup image onto a container or partition.
struct RestoreOperationController {
  std::shared_ptr<const BackupController> backupController;
  std::string title;
  std::string progressTitle;
  std::string activeProgressTitle;
  std::string actionName;
  bool resetSourceWhenDone = false;
  std::optional<OperationInterruptionWarning> interruptionWarning;

  static RestoreOperationController Make(std::shared_ptr<const BackupController> controller);

  // Blocks for the whole restore; never throws for a failed restore. A restored target is
  // offered as the start-up disk through the result's action item.
  OperationResult perform(const mcom::FilePath& image, const RestoreTargetInfo& target,
                          const std::shared_ptr<Progress>& progress) const;
};

}  // namespace app
