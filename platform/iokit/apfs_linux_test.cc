#include "platform/iokit/apfs.h"

#include <gtest/gtest.h>

#include "tests/support/registry_test.h"

namespace {

using platform::APFSContainerGetSpaceInfo;
using platform::APFSContainerSpaceInfo;
using testing::RegistryBuilder;

using APFSContainerGetSpaceInfoTest = testing::RegistryTest;

TEST_F(APFSContainerGetSpaceInfoTest, ReadsSizeAndFreeSpaceOfAContainer) {
  registry_.AddMac({"System"}).disk1.container->Integer("Size", 1000).Integer("ContainerFree", 300);
  // A container whose AppleAPFSContainer has no size of its own: the media's counts.
  RegistryBuilder::Disk disk2 = registry_.AddWholeDisk(2, "External", /*partitioned=*/false);
  registry_.AddContainer(*disk2.media, 3, 2000, 0)
      .container->Remove("Size")
      .Remove("ContainerFree");
  // One without any size it can use.
  RegistryBuilder::Disk disk4 = registry_.AddWholeDisk(4, "External", /*partitioned=*/false);
  RegistryBuilder::Container disk5 = registry_.AddContainer(*disk4.media, 5);
  disk5.container->Remove("Size");
  disk5.media->String("Size", "big");
  Write();

  APFSContainerSpaceInfo info;
  ASSERT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnSuccess);
  EXPECT_EQ(info.size, 1000u);
  EXPECT_EQ(info.free, 300u);
  ASSERT_EQ(APFSContainerGetSpaceInfo("disk3", &info, 0), platform::kIOReturnSuccess);
  EXPECT_EQ(info.size, 2000u);
  EXPECT_EQ(info.free, 0u);

  // Only a container's synthesized disk is a container: not its store, not its volume, not a
  // whole disk holding one.
  for (const char* not_a_container : {"disk0s2", "disk1s1", "disk0", "disk2", "disk5"}) {
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

TEST_F(APFSContainerGetSpaceInfoTest, FindsNoDiskWithoutAMachine) {
  APFSContainerSpaceInfo info;
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnNoDevice);
  WriteRegistryFile("not a registry");
  EXPECT_EQ(APFSContainerGetSpaceInfo("disk1", &info, 0), platform::kIOReturnError);
}

}  // namespace
