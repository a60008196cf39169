#include "core/discovery/apfs_container.h"

#include <gmock/gmock.h>

#include <string>
#include <system_error>
#include <vector>

#include "tests/support/registry_test.h"

namespace {

using mcom::DiskName;
using mcom::FindAPFSContainerOfVolume;
using mcom::FindAPFSContainerOnDisk;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::RegistryBuilder;
using testing::RegistryEntry;

APFSContainerName Container(uint32_t number) { return APFSContainerName{DiskName{number}}; }

std::vector<std::string> VolumeNames(APFSContainerName container) {
  std::vector<std::string> names;
  for (const APFSVolumeInfo& volume :
       mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(container))) {
    names.push_back(mcom::FormatDiskName(volume.name));
  }
  return names;
}

class APFSContainerTest : public testing::RegistryTest {
 protected:
  // The Mac's container disk1 (System, Preboot, Recovery, VM, Data). disk5: an image without
  // partitions holding container disk6 without volumes. disk2s2 and disk3s2: a Fusion
  // container disk4 over both.
  void SetUp() override {
    disk1_ = registry_.AddMac({"System", "Preboot", "Recovery", "VM", "Data"}).disk1;
    registry_.AddContainer(*registry_.AddWholeDisk(5, "File", /*partitioned=*/false).media, 6);
    RegistryEntry& ssd = registry_.AddPartition(registry_.AddWholeDisk(2), 2,
                                                RegistryBuilder::kAPFSPartitionType, "SSD");
    RegistryEntry& hdd = registry_.AddPartition(registry_.AddWholeDisk(3), 2,
                                                RegistryBuilder::kAPFSPartitionType, "HDD");
    RegistryBuilder::Container fusion = registry_.AddContainer(ssd, 4);
    registry_.Link(hdd, *fusion.scheme);
    registry_.AddVolume(fusion, 1, "Fusion HD", {"System"});
  }

  RegistryBuilder::Container disk1_;
};

TEST_F(APFSContainerTest, FindsTheContainerOnAStoreByItsSynthesizedDisk) {
  Write();
  EXPECT_EQ(FindAPFSContainerOnDisk(DiskName{0, 2}), Container(1));
  EXPECT_EQ(FindAPFSContainerOnDisk(DiskName{5}), Container(6));
  EXPECT_EQ(FindAPFSContainerOnDisk(DiskName{2, 2}), Container(4));
  EXPECT_EQ(FindAPFSContainerOnDisk(DiskName{3, 2}), Container(4));
  // EFI, a level too high, the container itself, a volume, unknown.
  for (const DiskName none :
       {DiskName{0, 1}, DiskName{0}, DiskName{1}, DiskName{1, 1}, DiskName{9}}) {
    EXPECT_EQ(FindAPFSContainerOnDisk(none), std::nullopt) << mcom::FormatDiskName(none);
  }
}

TEST_F(APFSContainerTest, TakesTheFirstSynthesizedDiskWhoseNameParses) {
  RegistryEntry& store = registry_.AddPartition(registry_.AddWholeDisk(7), 1,
                                                RegistryBuilder::kAPFSPartitionType, "Two");
  RegistryBuilder::Container broken = registry_.AddContainer(store, 8);
  broken.media->String("BSD Name", "disk8 ");
  registry_.Add(*broken.scheme, "AppleAPFSMedia", "second").String("BSD Name", "disk9");
  Write();
  EXPECT_EQ(FindAPFSContainerOnDisk(DiskName{7, 1}), Container(9));
}

TEST_F(APFSContainerTest, FindsTheContainerOfAVolumeTwoLevelsUp) {
  Write();
  EXPECT_EQ(FindAPFSContainerOfVolume(DiskName{1, 1}), Container(1));
  EXPECT_EQ(FindAPFSContainerOfVolume(DiskName{1, 5}), Container(1));
  EXPECT_EQ(FindAPFSContainerOfVolume(DiskName{4, 1}), Container(4));
  EXPECT_EQ(FindAPFSContainerOfVolume(DiskName{9, 1}), std::nullopt);
  // Only a walk: two levels above a partition is its whole disk.
  EXPECT_EQ(FindAPFSContainerOfVolume(DiskName{0, 2}), Container(0));
}

TEST_F(APFSContainerTest, ListsTheVolumesOfAContainerInRegistryOrder) {
  // A volume without a UUID cannot be read and is left out; a child of another class is no
  // volume, even an IOMedia with every volume property.
  registry_.AddVolume(disk1_, 6, "Broken", {}).Remove("UUID");
  registry_.Add(*disk1_.container, "IOMedia", "Impostor")
      .String("BSD Name", "disk1s7")
      .String("UUID", "IMPOSTOR");
  Write();

  const std::vector<APFSVolumeInfo> volumes =
      mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(Container(1)));
  EXPECT_THAT(VolumeNames(Container(1)),
              ElementsAre("disk1s1", "disk1s2", "disk1s3", "disk1s4", "disk1s5"));
  ASSERT_EQ(volumes.size(), 5u);
  EXPECT_EQ(volumes[0].role, APFSVolumeRole::kSystem);
  EXPECT_EQ(volumes[0].volume_group, RegistryBuilder::kSystemGroup);
  EXPECT_EQ(volumes[1].role, APFSVolumeRole::kOther);
  EXPECT_EQ(volumes[1].volume_group, std::nullopt);
  EXPECT_EQ(volumes[4].role, APFSVolumeRole::kData);
  EXPECT_EQ(volumes[4].volume_group, RegistryBuilder::kSystemGroup);

  EXPECT_THAT(VolumeNames(Container(4)), ElementsAre("disk4s1"));
  EXPECT_THAT(VolumeNames(Container(6)), IsEmpty());
  EXPECT_THAT(VolumeNames(APFSContainerName{DiskName{0, 2}}), IsEmpty());  // a store
  EXPECT_THAT(VolumeNames(Container(9)), IsEmpty());
}

TEST_F(APFSContainerTest, ThrowsWhenTheRegistryCannotBeRead) {
  WriteRegistryFile("<plist><true/></plist>");
  EXPECT_THROW(FindAPFSContainerOnDisk(DiskName{0, 2}), std::system_error);
  EXPECT_THROW(FindAPFSContainerOfVolume(DiskName{1, 1}), std::system_error);
  EXPECT_THROW(VolumeNames(Container(1)), std::system_error);
}

}  // namespace
