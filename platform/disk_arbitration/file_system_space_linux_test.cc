#include "platform/disk_arbitration/file_system_space.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "sim/machine/machine.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

TEST(GetFileSystemSpaceTest, AnswersForTheVolumeHoldingAPath) {
  testing::TemporaryMachineRoot root;
  sim::Machine machine = sim::testing::MakeTestMachine(root.path());
  const uint32_t usb = sim::testing::PlugTestMedium(machine, "usb-hfs");
  const sim::Model model = machine.Read();
  const sim::Partition* partition = sim::FindPartition(model, mcom::DiskName{usb, 2});
  const sim::Volume* hfs = sim::FindVolume(model, mcom::DiskName{usb, 2});
  ASSERT_NE(partition, nullptr);
  ASSERT_NE(hfs, nullptr);
  ASSERT_TRUE(hfs->is_mounted());

  // A path inside the volume is answered by the volume holding it.
  const std::string inside = hfs->mount_point + "/.";
  FileSystemSpace space;
  ASSERT_EQ(GetFileSystemSpace(inside.c_str(), &space), 0);
  EXPECT_EQ(space.size, partition->size);
  EXPECT_EQ(space.free, partition->size - hfs->used);

  // The running system's volume at the root: its container's size, less all of its volumes.
  ASSERT_EQ(GetFileSystemSpace(root.path().c_str(), &space), 0);
  const sim::Volume* system = sim::FindVolume(model, mcom::DiskName{1, 5});
  ASSERT_NE(system, nullptr);
  const sim::Container* container = sim::FindContainer(model, 1);
  uint64_t used = 0;
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, 1)) used += volume->used;
  EXPECT_EQ(space.size, container->size);
  EXPECT_EQ(space.free, container->size - used);

  space = {7, 7};
  EXPECT_EQ(GetFileSystemSpace(root.Join("missing").c_str(), &space), ENOENT);
  EXPECT_EQ(GetFileSystemSpace("/", &space), ENOENT);
  EXPECT_EQ(space.size, 7u);
  EXPECT_EQ(GetFileSystemSpace(nullptr, &space), EINVAL);
  EXPECT_EQ(GetFileSystemSpace(inside.c_str(), nullptr), EINVAL);
}

}  // namespace
}  // namespace platform
