#include "platform/iokit/apfs.h"

#include <gtest/gtest.h>

#include "core/foundation/cf_dictionary.h"
#include "sim/machine/machine.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "tests/support/registry_test.h"
#include "tests/support/temporary_folder.h"

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

TEST(APFSExtendedSpaceInfoTest, AnswersTheContainerAndEachOfItsVolumes) {
  testing::TemporaryMachineRoot root;
  const sim::Model model = sim::testing::MakeTestMachine(root.path()).Read();
  APFSContainerSpaceInfo space;
  ASSERT_EQ(APFSContainerGetSpaceInfo("disk1", &space, 0), platform::kIOReturnSuccess);

  mcom::cf::Ref<mcom::cf::Dictionary> info;
  ASSERT_EQ(platform::APFSExtendedSpaceInfo("disk1", &info), platform::kIOReturnSuccess);
  ASSERT_TRUE(info);
  const auto volumes = sim::VolumesOfContainer(model, 1);
  EXPECT_EQ(info->Count(), volumes.size() + 1);
  const mcom::cf::Ref<mcom::cf::Dictionary> own = info->GetDictionary("disk1");
  ASSERT_TRUE(own);
  EXPECT_EQ(own->GetUnsigned("size"), space.size);
  EXPECT_EQ(own->GetUnsigned("used"), space.size - space.free);
  for (const sim::Volume* volume : volumes) {
    const auto entry = info->GetDictionary(mcom::FormatDiskName(volume->disk));
    ASSERT_TRUE(entry) << volume->name;
    EXPECT_EQ(entry->GetUnsigned("fs_used"), volume->used) << volume->name;
  }

  // The failures of the plain query, and no answer at all for them.
  info = nullptr;
  EXPECT_EQ(platform::APFSExtendedSpaceInfo("disk1s1", &info), platform::kIOReturnNotFound);
  EXPECT_EQ(platform::APFSExtendedSpaceInfo("disk9", &info), platform::kIOReturnNoDevice);
  EXPECT_EQ(platform::APFSExtendedSpaceInfo(nullptr, &info), platform::kIOReturnBadArgument);
  EXPECT_FALSE(info);
  EXPECT_EQ(platform::APFSExtendedSpaceInfo("disk1", nullptr), platform::kIOReturnBadArgument);
}

}  // namespace
