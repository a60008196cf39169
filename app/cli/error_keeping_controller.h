#pragma once

#include <memory>
#include <optional>

#include "app/controllers/backup_controller.h"
#include "core/foundation/error.h"

// A controller that passes every call to another and keeps the Error a backup or restore
// failed with: the operation controllers turn a failure into result texts, while dorvane
// reports its structure (operation, message, causes) and the signal that caused it.
class ErrorKeepingController final : public app::BackupController {
 public:
  explicit ErrorKeepingController(std::shared_ptr<const app::BackupController> inner)
      : inner_(std::move(inner)) {}

  // The Error of the last failed backup or restore; none after a successful one.
  const std::optional<Error>& failure() const { return failure_; }

  bool isRunningInRecovery() const override { return inner_->isRunningInRecovery(); }
  std::vector<app::APFSContainerInfo> sourceContainers() const override {
    return inner_->sourceContainers();
  }
  void performBackup(const std::optional<app::APFSContainerName>& source,
                     const mcom::FilePath& destination,
                     const std::shared_ptr<app::Progress>& progress) const override;
  std::vector<app::RestoreTargetInfo> restoreTargets() const override {
    return inner_->restoreTargets();
  }
  void performRestore(const mcom::FilePath& image, const app::DiskName& target,
                      const std::shared_ptr<app::Progress>& progress) const override;
  void restartFromTarget(const app::RestoreTargetInfo& target) const override {
    inner_->restartFromTarget(target);
  }
  std::unique_ptr<app::RMBBuilder> makeRMBBuilder() const override {
    return inner_->makeRMBBuilder();
  }
  bool hasFullDiskAccess() const override { return inner_->hasFullDiskAccess(); }

 private:
  // Runs `task`, keeping the Error it fails with, and rethrows as the screens expect.
  template <typename Task>
  void Kept(Task&& task) const;

  std::shared_ptr<const app::BackupController> inner_;
  mutable std::optional<Error> failure_;
};
