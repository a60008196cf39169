#include "core/recovery/recovery_source.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "core/discovery/mount_approval.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "tests/support/temporary_folder.h"

namespace {

namespace da = mcom::disk_arbitration;
namespace fs = std::filesystem;

class RecoverySourceTest : public ::testing::Test {
 protected:
  RecoverySourceTest() : machine_(sim::testing::MakeTestMachine(root_.path())) {}

  const sim::Volume& RecoveryVolume(const sim::Model& model) {
    for (const sim::Volume& volume : model.volumes) {
      if (volume.HasRole("Recovery")) return volume;
    }
    throw std::runtime_error("the machine has no recovery volume");
  }
  // The recovery volume's files, where they are now.
  fs::path RecoveryFiles() {
    const sim::Model model = machine_.Read();
    return sim::VolumeFilesPath(root_.path(), RecoveryVolume(model)).string();
  }

  ::testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
};

TEST_F(RecoverySourceTest, FindsTheFolderWithTheBaseSystemAndUnmountsWhenReleased) {
  std::string expected_folder;
  for (const fs::directory_entry& entry : fs::directory_iterator(RecoveryFiles())) {
    if (fs::exists(entry.path() / "BaseSystem.dmg")) expected_folder = entry.path().filename();
  }
  ASSERT_FALSE(expected_folder.empty());
  // A folder with the boot loader but no Base System does not count.
  fs::create_directory(RecoveryFiles() / "AAAA-boot-only");
  std::ofstream(RecoveryFiles() / "AAAA-boot-only" / "boot.efi") << "efi";

  {
    std::optional<RecoverySource> source = FindRecoverySource();
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ(source->folder, expected_folder);
    const mcom::Result<mcom::FilePath> path = source->volume.Path();
    ASSERT_TRUE(path);
    EXPECT_TRUE(fs::exists(fs::path(path->string()) / expected_folder / "BaseSystem.dmg"));
    EXPECT_TRUE(RecoveryVolume(machine_.Read()).is_mounted());
  }
  // The search mounted it, so releasing the source unmounts it again.
  EXPECT_FALSE(RecoveryVolume(machine_.Read()).is_mounted());
}

TEST_F(RecoverySourceTest, NothingWithoutABaseSystemOrWhenTheVolumeCannotBeMounted) {
  {
    // A live blocker refuses every mount of the recovery volume's disk: the candidate is
    // skipped without an error.
    const da::Session approvals(dispatch::CreateQueue("com.halvex-software.test.approvals"));
    const da::MountApproval refuse_all = da::MountApproval::Register(
        approvals, [](const da::Disk*) -> mcom::Optional<da::Dissenter> {
          return da::Dissenter::Create(platform::kDAReturnBusy, "refused here");
        });
    EXPECT_FALSE(FindRecoverySource().has_value());
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(RecoveryFiles())) {
    if (entry.is_directory()) fs::remove(entry.path() / "BaseSystem.dmg");
  }
  EXPECT_FALSE(FindRecoverySource().has_value());
  EXPECT_FALSE(RecoveryVolume(machine_.Read()).is_mounted());
}

// Without a Base System on the volume the disk-management framework names, the search goes on
// to the Apple boot partitions (as older Macs keep their recovery system on one).
TEST_F(RecoverySourceTest, FallsBackToAnAppleBootPartition) {
  for (const fs::directory_entry& entry : fs::directory_iterator(RecoveryFiles())) {
    if (entry.is_directory()) fs::remove(entry.path() / "BaseSystem.dmg");
  }
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-hfs");
  const mcom::DiskName partition{usb, 2};
  machine_.Change([&](sim::Model& model) {
    sim::FindPartition(model, partition)->type = std::string(sim::kAppleBootPartitionGUID);
  });
  const sim::Model model = machine_.Read();
  const sim::Volume* volume = sim::VolumeOnPartition(model, partition);
  ASSERT_NE(volume, nullptr);
  const fs::path files = sim::VolumeFilesPath(root_.path(), *volume).string();
  fs::create_directory(files / "com.apple.recovery.boot");
  std::ofstream(files / "com.apple.recovery.boot" / "BaseSystem.dmg") << "image";

  const std::optional<RecoverySource> source = FindRecoverySource();
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(source->folder, "com.apple.recovery.boot");
}

}  // namespace
