#include "app/controllers/operation_controllers.h"

#include <sys/stat.h>

#include <chrono>
#include <exception>

#include "app/controllers/result_texts.h"

namespace app {

std::string recoveryDiskName = "Recovery Disk";
std::string recoveryDiskFullName = "Halvex Recovery Disk";

namespace {

// The text the result screen shows for a failed task. A failure of any kind is a failure:
// one that is not the pipeline's own Error still ends in a failed result with its words.
template <typename Task>
std::optional<std::string> FailureOf(Task&& task) {
  try {
    task();
    return std::nullopt;
  } catch (const std::exception& failure) {
    return std::string(failure.what());
  }
}

std::chrono::seconds SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
}

// The size of the file at `path`; nothing when it cannot be read.
std::optional<int64_t> FileSize(const mcom::FilePath& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return static_cast<int64_t>(status.st_size);
}

}  // namespace

BackupOperationController BackupOperationController::Make(
    std::shared_ptr<const BackupController> controller,
    std::function<void()> openRecoveryMediaBuilder) {
  return BackupOperationController{
      .backupController = std::move(controller),
      .title = "Backup",
      .progressTitle = "Back up to",
      .activeProgressTitle = "Backing up now\u2026 Please wait\u2026",
      .actionName = "Back up now",
      .resetSourceWhenDone = false,
      .interruptionWarning =
          OperationInterruptionWarning{
              .brief = "Backup operation could not be interrupted.",
              .details = "Please ensure that backup operation will not be terminated by any "
                         "case, including external media ejection, power failure, application "
                         "termination. Otherwise source APFS could become in inconsistent "
                         "state.",
              .duringOperation = "It's recommended to not interrupt this operation. An "
                                 "interrupted operation may result in inconsistent data.",
          },
      .openRecoveryMediaBuilder = std::move(openRecoveryMediaBuilder),
  };
}

OperationResult BackupOperationController::perform(
    const APFSContainerInfo& source, const mcom::FilePath& target,
    const std::shared_ptr<Progress>& progress) const {
  const auto started = std::chrono::steady_clock::now();
  const auto started_at = std::chrono::system_clock::now();
  if (const std::optional<std::string> failure =
          FailureOf([&] { backupController->performBackup(source.name, target, progress); })) {
    return OperationResult{.success = false,
                           .message = "Backup failed",
                           .information = *failure,
                           .actionItem = std::nullopt,
                           .accessory = std::nullopt};
  }
  OperationResult result{
      .success = true,
      .message = "Backup completed!",
      .information = "All data is backed up successfully\nTime taken: " +
                     FormatElapsedTime(SecondsSince(started)) +
                     "\nBackup size: " + FormatFileSize(FileSize(target)) +
                     "\nBackup date: " + FormatShortDateTime(started_at),
      .actionItem = std::nullopt,
      .accessory = std::nullopt,
  };
  if (!backupController->isRunningInRecovery()) {
    result.actionItem = NavigationItem{.title = "Create " + recoveryDiskName + "...",
                                       .action = openRecoveryMediaBuilder};
    result.accessory =
        OperationAccessoryInfo{.title = "Create Recovery Disk",
                               .subtitle =
                                   "To be able to restore your Mac even if it fails to "
                                   "start.",
                               .image = "RecoveryMenu"};
  }
  return result;
}

RestoreOperationController RestoreOperationController::Make(
    std::shared_ptr<const BackupController> controller) {
  return RestoreOperationController{
      .backupController = std::move(controller),
      .title = "Restore",
      .progressTitle = "Restore to",
      .activeProgressTitle = "Restoring your Mac now\u2026 Please wait\u2026",
      .actionName = "Run Restore",
      .resetSourceWhenDone = true,
      .interruptionWarning = std::nullopt,
  };
}

OperationResult RestoreOperationController::perform(
    const mcom::FilePath& image, const RestoreTargetInfo& target,
    const std::shared_ptr<Progress>& progress) const {
  const auto started = std::chrono::steady_clock::now();
  const DiskName disk = DiskNameOf(target);
  if (const std::optional<std::string> failure =
          FailureOf([&] { backupController->performRestore(image, disk, progress); })) {
    return OperationResult{.success = false,
                           .message = "Restore failed",
                           .information = *failure,
                           .actionItem = std::nullopt,
                           .accessory = std::nullopt};
  }
  std::shared_ptr<const BackupController> controller = backupController;
  return OperationResult{
      .success = true,
      .message = "Restore completed! Restart your Mac!",
      .information = "All data is restored successfully!\nTime taken: " +
                     FormatElapsedTime(SecondsSince(started)),
      .actionItem =
          NavigationItem{.title = "Restart your Mac\u2026",
                         .action = [controller, target] { controller->restartFromTarget(target); }},
      .accessory = std::nullopt,
  };
}

}  // namespace app
