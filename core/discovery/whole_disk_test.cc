#include "core/discovery/whole_disk.h"

#include <gtest/gtest.h>

#include <system_error>

#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::DiskName;
using mcom::WholeDiskForDisk;
using testing::RegistryBuilder;
using testing::RegistryEntry;

class WholeDiskTest : public testing::Test {
 protected:
  // disk0: EFI (s1), an APFS store (s2) holding container disk1, an HFS+ partition (s3).
  // disk5: an image without partitions whose whole media holds container disk6.
  void SetUp() override {
    RegistryBuilder::Disk disk0 = registry_.AddWholeDisk(0);
    registry_.AddPartition(disk0, 1, RegistryBuilder::kEFIPartitionType, "EFI");
    RegistryEntry& store =
        registry_.AddPartition(disk0, 2, RegistryBuilder::kAPFSPartitionType, "Store");
    RegistryBuilder::Container disk1 = registry_.AddContainer(store, 1);
    registry_.AddVolume(disk1, 1, "Macintosh HD", {"System"});
    hfs_ = &registry_.AddPartition(disk0, 3, RegistryBuilder::kHFSPartitionType, "Old");

    RegistryBuilder::Disk disk5 = registry_.AddWholeDisk(5, "File", /*partitioned=*/false);
    RegistryBuilder::Container disk6 = registry_.AddContainer(*disk5.media, 6);
    registry_.AddVolume(disk6, 1, "Backup", {});
  }

  void Write() { ASSERT_TRUE(registry_.WriteToMachine()); }

  testing::TemporaryMachineRoot root_;
  RegistryBuilder registry_;
  RegistryEntry* hfs_ = nullptr;
};

TEST_F(WholeDiskTest, APartitionBelongsToItsDisk) {
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{0, 1}), (DiskName{0}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{0, 2}), (DiskName{0}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{0, 3}), (DiskName{0}));
}

TEST_F(WholeDiskTest, AVolumeBelongsToItsContainersDiskNotToThePhysicalDisk) {
  // Two levels above a volume is the container's synthesized disk, which is whole.
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{1, 1}), (DiskName{1}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{6, 1}), (DiskName{6}));
}

TEST_F(WholeDiskTest, AWholeDiskHasNone) {
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{0}), std::nullopt);
  EXPECT_EQ(WholeDiskForDisk(DiskName{1}), std::nullopt);  // a container disk is whole too
  EXPECT_EQ(WholeDiskForDisk(DiskName{5}), std::nullopt);
  EXPECT_EQ(WholeDiskForDisk(DiskName{9, 1}), std::nullopt);  // unknown
}

TEST_F(WholeDiskTest, ReadsWholeAsABooleanOnly) {
  // A partition without "Whole" counts as a part; one whose "Whole" is the string "No" does
  // not (only the boolean false is false).
  hfs_->Remove("Whole");
  const RegistryBuilder::Disk disk7 = registry_.AddWholeDisk(7);
  registry_.AddPartition(disk7, 1, RegistryBuilder::kHFSPartitionType, "Stringly")
      .String("Whole", "No");
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{0, 3}), (DiskName{0}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{7, 1}), std::nullopt);
}

TEST_F(WholeDiskTest, NeedsAWholeDiskTwoLevelsUp) {
  // A disk whose grandparent is no whole media (a partition directly under a device).
  RegistryEntry& device = registry_.Add(registry_.root(), "IOBlockStorageDevice", "device");
  registry_.Add(device, "IOMedia", "loose").String("BSD Name", "disk8s1").Bool("Whole", false);
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{8, 1}), std::nullopt);
}

TEST_F(WholeDiskTest, ThrowsWhenTheRegistryCannotBeRead) {
  root_.WriteFile("private/var/db/macsim/registry.plist", "garbage");
  EXPECT_THROW(WholeDiskForDisk(DiskName{0, 1}), std::system_error);
}

}  // namespace
