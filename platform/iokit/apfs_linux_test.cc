#include "platform/iokit/apfs.h"

#include <gtest/gtest.h>

#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace {

using platform::APFSContainerGetSpaceInfo;
using platform::APFSContainerSpaceInfo;
using testing::RegistryBuilder;
using testing::RegistryEntry;

TEST(APFSContainerGetSpaceInfo, ReadsSizeAndFreeSpaceOfAContainer) {
  testing::TemporaryMachineRoot root;
  RegistryBuilder registry;
  RegistryBuilder::Disk disk0 = registry.AddWholeDisk(0);
  RegistryEntry& store =
      registry.AddPartition(disk0, 2, RegistryBuilder::kAPFSPartitionType, "Container");
  RegistryBuilder::Container disk1 = registry.AddContainer(store, 1, 1000, 300);
  registry.AddVolume(disk1, 1, "Macintosh HD", {"System"});
  // A container whose AppleAPFSContainer has no size of its own: the media's counts.
  RegistryBuilder::Disk disk2 = registry.AddWholeDisk(2, "External", /*partitioned=*/false);
  RegistryBuilder::Container disk3 = registry.AddContainer(*disk2.media, 3, 2000, 0);
  disk3.container->Remove("Size").Remove("ContainerFree");
  ASSERT_TRUE(registry.WriteToMachine());

  APFSContainerSpaceInfo info;
  ASSERT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnSuccess);
  EXPECT_EQ(info.size, 1000u);
  EXPECT_EQ(info.free, 300u);
  ASSERT_EQ(APFSContainerGetSpaceInfo("disk3", &info, 0), platform::kIOReturnSuccess);
  EXPECT_EQ(info.size, 2000u);
  EXPECT_EQ(info.free, 0u);

  // Only a container's synthesized disk is a container: not its store, not its volume, not a
  // whole disk holding one.
  for (const char* not_a_container : {"disk0s2", "disk1s1", "disk0", "disk2"}) {
    info = {7, 7};
    EXPECT_EQ(APFSContainerGetSpaceInfo(not_a_container, &info, 0), platform::kIOReturnNotFound)
        << not_a_container;
    EXPECT_EQ(info.size, 7u);
  }
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk9", &info, 0), platform::kIOReturnNoDevice);
  EXPECT_EQ(APFSContainerGetSpaceInfo("/dev/disk1", &info, 0), platform::kIOReturnNoDevice);

  EXPECT_EQ(APFSContainerGetSpaceInfo(nullptr, &info, 0), platform::kIOReturnBadArgument);
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", nullptr, 0), platform::kIOReturnBadArgument);
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 1), platform::kIOReturnBadArgument);
}

TEST(APFSContainerGetSpaceInfo, FailsWithoutASize) {
  testing::TemporaryMachineRoot root;
  RegistryBuilder registry;
  RegistryBuilder::Disk disk0 = registry.AddWholeDisk(0, "Internal", /*partitioned=*/false);
  RegistryBuilder::Container disk1 = registry.AddContainer(*disk0.media, 1);
  disk1.container->Remove("Size");
  disk1.media->String("Size", "big");
  ASSERT_TRUE(registry.WriteToMachine());
  APFSContainerSpaceInfo info;
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnNotFound);
}

TEST(APFSContainerGetSpaceInfo, FindsNoDiskWithoutAMachine) {
  testing::TemporaryMachineRoot root;
  APFSContainerSpaceInfo info;
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnNoDevice);
  root.WriteFile("private/var/db/macsim/registry.plist", "not a registry");
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnError);
}

}  // namespace
