// The controllers with the core pipeline behind them, on a simulated Mac in its recovery
// environment (where the replication runs in this process).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/controllers/operation_controllers.h"
#include "tests/e2e/e2e_machine.h"

namespace app {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// Read once per process, before any test asks.
const bool kInRecovery = ::setenv("__OSINSTALL_ENVIRONMENT", "1", 1) == 0;

TEST(RealBackupController, BacksUpRestoresAndStartsFromTheRestoredDisk) {
  ASSERT_TRUE(kInRecovery);
  e2e::E2EMachine mac;
  mac.Plug("usb-apfs");
  const auto controller = std::make_shared<const RealBackupController>();
  EXPECT_TRUE(controller->isRunningInRecovery());

  const ::APFSContainerName system = mac.SystemContainer();
  const std::vector<APFSContainerInfo> sources = controller->sourceContainers();
  const auto source = std::find_if(sources.begin(), sources.end(), [&](const auto& info) {
    return info.name.diskName == AppDiskName(system.name);
  });
  ASSERT_NE(source, sources.end());

  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  auto progress = std::make_shared<Progress>();
  OperationResult result =
      BackupOperationController::Make(controller, {}).perform(*source, image, progress);
  ASSERT_TRUE(result.success) << result.information;
  EXPECT_THAT(result.information, Not(HasSubstr("Backup size: --")));
  EXPECT_FALSE(result.actionItem) << "no recovery disk is made in the recovery environment";
  EXPECT_EQ(progress->totalUnitCount(), 100u);
  EXPECT_EQ(progress->completedUnitCount(), 100u);

  // The plugged disk's container is a target; the system's own is refused by the pipeline.
  const std::vector<RestoreTargetInfo> targets = controller->restoreTargets();
  const auto on_usb = [&](const RestoreTargetInfo& target) {
    const auto* container = std::get_if<APFSContainerInfo>(&target.target);
    return container && !container->isInternal;
  };
  const auto target = std::find_if(targets.begin(), targets.end(), on_usb);
  ASSERT_NE(target, targets.end());
  const RestoreOperationController restore = RestoreOperationController::Make(controller);
  const RestoreTargetInfo own = RestoreTargetInfo::apfsContainer(*source);
  result = restore.perform(image, own, progress);
  EXPECT_FALSE(result.success);
  EXPECT_THAT(result.information, HasSubstr("PerformRestore: "));

  result = restore.perform(image, *target, progress);
  ASSERT_TRUE(result.success) << result.information;
  const DiskName restored_name = DiskNameOf(*target);
  const ::APFSContainerName restored{CoreDiskName(restored_name)};
  EXPECT_THAT(mac.ContainerDifferences(system, restored), IsEmpty());

  ASSERT_TRUE(result.actionItem);
  result.actionItem->action();
  const sim::Model model = mac.machine().Read();
  EXPECT_TRUE(model.boot.restart_requested);
  const std::vector<std::string> names = mac.VolumeNames(restored);
  const auto preboot = std::find(names.begin(), names.end(), "Preboot");
  ASSERT_NE(preboot, names.end());
  EXPECT_EQ(model.boot.device,
            FormatDiskName(restored_name) + "s" + std::to_string(preboot - names.begin() + 1));
}

}  // namespace
}  // namespace app
