#include "core/discovery/whole_disk.h"

#include <gtest/gtest.h>

#include <system_error>

#include "tests/support/registry_test.h"

namespace {

using mcom::DiskName;
using mcom::WholeDiskForDisk;
using testing::RegistryBuilder;
using testing::RegistryEntry;

class WholeDiskTest : public testing::RegistryTest {
 protected:
  // The Mac with one volume and an HFS+ partition disk0s3; disk5: an image without partitions
  // whose whole media holds container disk6.
  void SetUp() override {
    const RegistryBuilder::Mac mac = registry_.AddMac({"System"});
    hfs_ = &registry_.AddPartition(mac.disk0, 3, RegistryBuilder::kHFSPartitionType, "Old");
    RegistryBuilder::Disk disk5 = registry_.AddWholeDisk(5, "File", /*partitioned=*/false);
    registry_.AddVolume(registry_.AddContainer(*disk5.media, 6), 1, "Backup", {});
  }

  RegistryEntry* hfs_ = nullptr;
};

TEST_F(WholeDiskTest, IsTwoLevelsUp) {
  Write();
  // A partition belongs to its disk.
  for (uint32_t slice : {1, 2, 3}) EXPECT_EQ(WholeDiskForDisk(DiskName{0, slice}), DiskName{0});
  // A volume belongs to its container's synthesized disk, not to the physical disk.
  EXPECT_EQ(WholeDiskForDisk(DiskName{1, 1}), (DiskName{1}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{6, 1}), (DiskName{6}));
  // A whole disk (a container disk too) has none, nor has an unknown one.
  for (const DiskName whole : {DiskName{0}, DiskName{1}, DiskName{5}, DiskName{9, 1}}) {
    EXPECT_EQ(WholeDiskForDisk(whole), std::nullopt) << mcom::FormatDiskName(whole);
  }
}

TEST_F(WholeDiskTest, ReadsWholeAsABooleanOnly) {
  // A partition without "Whole" counts as a part; one whose "Whole" is the string "No" does
  // not (only the boolean false is false).
  hfs_->Remove("Whole");
  const RegistryBuilder::Disk disk7 = registry_.AddWholeDisk(7);
  registry_.AddPartition(disk7, 1, RegistryBuilder::kHFSPartitionType, "Stringly")
      .String("Whole", "No");
  // A disk whose grandparent is no whole media (a partition directly under a device).
  RegistryEntry& device = registry_.Add(registry_.root(), "IOBlockStorageDevice", "device");
  registry_.Add(device, "IOMedia", "loose").String("BSD Name", "disk8s1").Bool("Whole", false);
  Write();
  EXPECT_EQ(WholeDiskForDisk(DiskName{0, 3}), (DiskName{0}));
  EXPECT_EQ(WholeDiskForDisk(DiskName{7, 1}), std::nullopt);
  EXPECT_EQ(WholeDiskForDisk(DiskName{8, 1}), std::nullopt);
}

TEST_F(WholeDiskTest, ThrowsWhenTheRegistryCannotBeRead) {
  WriteRegistryFile("garbage");
  EXPECT_THROW(WholeDiskForDisk(DiskName{0, 1}), std::system_error);
}

}  // namespace
