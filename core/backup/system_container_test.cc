// Discovery on every simulated Mac, the way the backup pipeline starts: the system container
// from "/", the whole disk of every partition, every volume with its role and group, and the
// container's size, each checked against what the machine holds.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/backup/backup.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/container_size.h"
#include "core/discovery/whole_disk.h"
#include "sim/machine/model.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace {

using testing::ElementsAre;

class SystemContainerTest : public testing::TestWithParam<const char*> {
 protected:
  SystemContainerTest() : machine_(sim::testing::MakeTestMachine(root_.path(), GetParam())) {}

  testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
};

std::optional<APFSVolumeRole> RoleOf(const sim::Volume& volume) {
  if (volume.roles.empty()) return std::nullopt;
  if (volume.HasRole("System")) return APFSVolumeRole::kSystem;
  if (volume.HasRole("Data")) return APFSVolumeRole::kData;
  return APFSVolumeRole::kOther;
}

TEST_P(SystemContainerTest, FoundFromTheRootWithItsVolumesAndSize) {
  const sim::Model model = machine_.Read();
  const sim::Volume* system = sim::RunningSystemVolume(model);
  ASSERT_NE(system, nullptr);

  std::vector<std::string> texts;
  const APFSContainerName container =
      FindSystemContainer([&](ProgressUpdate update) { texts.push_back(std::get<1>(update)); });
  const sim::Container* expected = nullptr;
  for (const sim::Container& each : model.containers) {
    for (const sim::Volume* volume : sim::VolumesOfContainer(model, each.number)) {
      if (volume == system) expected = &each;
    }
  }
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(container.name, mcom::DiskName{expected->number});
  EXPECT_THAT(texts, ElementsAre("no target specified. looking for system APFS container",
                                 "found system disk " + mcom::FormatDiskName(system->disk),
                                 "found system APFS container " + FormatDiskName(container)));

  const std::variant<uint64_t, Error> size = mcom::GetContainerSize(container);
  ASSERT_TRUE(std::holds_alternative<uint64_t>(size));
  EXPECT_EQ(std::get<uint64_t>(size), expected->size);

  std::vector<APFSVolumeInfo> wanted;
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, expected->number)) {
    wanted.push_back(APFSVolumeInfo{
        volume->uuid, RoleOf(*volume),
        volume->group_uuid.empty() ? std::nullopt : std::optional(volume->group_uuid),
        mcom::DiskName{volume->disk.disk, volume->disk.slice}});
  }
  EXPECT_EQ(mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(container)), wanted);

  for (const sim::Disk& disk : model.disks) {
    for (const sim::Partition& partition : disk.partitions) {
      EXPECT_EQ(mcom::WholeDiskForDisk(mcom::DiskName{disk.number, partition.slice}),
                mcom::DiskName{disk.number})
          << GetParam() << " partition " << partition.slice;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMac, SystemContainerTest,
                         testing::Values("intel-mac", "t2-mac", "fusion-mac", "dual-boot-mac"));

}  // namespace
