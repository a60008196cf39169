// What dorvane puts between the operation controllers and its display: the progress
// forwarding and the controller that keeps the Error of a failed task.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/cli/error_keeping_controller.h"
#include "app/cli/progress_forwarding.h"
#include "app/controllers/operation_controllers.h"
#include "app/controllers/platform_error.h"

namespace {

using testing::ElementsAre;

// Reports on the progress, then throws what the test gave it.
class ThrowingController : public app::BackupController {
 public:
  bool isRunningInRecovery() const override { return true; }
  std::vector<app::APFSContainerInfo> sourceContainers() const override { return {}; }
  void performBackup(const std::optional<app::APFSContainerName>&, const mcom::FilePath&,
                     const std::shared_ptr<app::Progress>& progress) const override {
    app::ProgressHandler handler(progress);
    progress->setTotalUnitCount(100);
    handler(std::string("Replicating (1/2)"));
    handler(std::string("Replicating (1/2)"));  // the same text again: nothing new
    handler(0.5);
    handler(0.504);  // still 50 units
    handler(std::string("done"));
    handler(1.0);
    if (failure) std::rethrow_exception(failure);
  }
  std::vector<app::RestoreTargetInfo> restoreTargets() const override { return {}; }
  void performRestore(const mcom::FilePath&, const app::DiskName&,
                      const std::shared_ptr<app::Progress>&) const override {
    if (failure) std::rethrow_exception(failure);
  }
  void restartFromTarget(const app::RestoreTargetInfo&) const override {}
  std::unique_ptr<app::RMBBuilder> makeRMBBuilder() const override { return nullptr; }
  bool hasFullDiskAccess() const override { return true; }

  std::exception_ptr failure;
};

TEST(OperationAdapters, ProgressIsForwardedOnceAChangeAndTheFailuresErrorIsKept) {
  auto inner = std::make_shared<ThrowingController>();
  const Error cause("PerformBackup", "the copy failed", Error("asr", "exited with status 1"));
  inner->failure = std::make_exception_ptr(app::PlatformError(cause));
  auto controller = std::make_shared<const ErrorKeepingController>(inner);
  const app::BackupOperationController backup =
      app::BackupOperationController::Make(controller, nullptr);

  std::vector<ProgressUpdate> forwarded;
  const auto progress = std::make_shared<app::Progress>();
  ForwardProgress(*progress, [&](ProgressUpdate update) { forwarded.push_back(update); });
  const app::OperationResult failed = backup.perform({}, mcom::FilePath("/nowhere"), progress);
  EXPECT_FALSE(failed.success);
  EXPECT_THAT(forwarded,
              ElementsAre(ProgressUpdate(std::string("Replicating (1/2)")), ProgressUpdate(0.5),
                          ProgressUpdate(std::string("done")), ProgressUpdate(1.0)));
  EXPECT_EQ(controller->failure(), cause);

  // A core Error or another exception that escaped the bridge is still a kept failure.
  inner->failure = std::make_exception_ptr(Error("PerformRestore", "no"));
  const app::RestoreOperationController restore = app::RestoreOperationController::Make(controller);
  const app::RestoreTargetInfo target = app::RestoreTargetInfo::partition({});
  EXPECT_EQ(restore.perform(mcom::FilePath("/x"), target, progress).information,
            "PerformRestore: no");
  EXPECT_EQ(controller->failure(), Error("PerformRestore", "no"));
  inner->failure = std::make_exception_ptr(std::runtime_error("broken pipe"));
  EXPECT_FALSE(restore.perform(mcom::FilePath("/x"), target, progress).success);
  EXPECT_EQ(controller->failure(), Error("dorvane", "broken pipe"));

  inner->failure = nullptr;
  EXPECT_TRUE(restore.perform(mcom::FilePath("/x"), target, progress).success);
  EXPECT_EQ(controller->failure(), std::nullopt);
}

}  // namespace
