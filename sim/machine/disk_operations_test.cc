#include "sim/machine/disk_operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class DiskOperationsTest : public ::testing::Test {
 protected:
  DiskOperationsTest() : machine_(testing::MakeTestMachine(folder_.Join("mac"))) {}
  const mcom::FilePath& root() const { return machine_.root(); }

  ::testing::TemporaryFolder folder_;
  Machine machine_;
};

TEST_F(DiskOperationsTest, DiskNumbersAreTheLowestFreeAndAreReused) {
  // disk0 and its container disk1 exist; media get disk2/disk3, disk4/disk5, disk6.
  const uint32_t first = testing::PlugTestMedium(machine_, "usb-apfs");
  const uint32_t second = testing::PlugTestMedium(machine_, "usb-apfs");
  const uint32_t third = testing::PlugTestMedium(machine_, "usb-blank");
  EXPECT_EQ(first, 2u);
  EXPECT_EQ(second, 4u);
  EXPECT_EQ(third, 6u);

  machine_.Change([&](Model& model) { UnplugMedium(root(), model, mcom::DiskName{first}); });
  EXPECT_EQ(testing::PlugTestMedium(machine_, "usb-blank"), 2u) << "the freed number first";
  EXPECT_EQ(testing::PlugTestMedium(machine_, "usb-blank"), 3u);
  EXPECT_EQ(LowestFreeDiskNumber(machine_.Read()), 7u);
}

TEST_F(DiskOperationsTest, MinorsAreUniqueAndRegistryIdsNeverReused) {
  const uint32_t usb = testing::PlugTestMedium(machine_, "usb-apfs");
  const Model with_usb = machine_.Read();
  const uint64_t usb_id = FindDisk(with_usb, usb)->registry_id;
  machine_.Change([&](Model& model) { RemoveDisk(root(), model, usb); });
  const uint32_t again = testing::PlugTestMedium(machine_, "usb-apfs");
  const Model model = machine_.Read();
  EXPECT_EQ(again, usb);
  EXPECT_GT(FindDisk(model, again)->registry_id, usb_id);

  std::set<uint32_t> minors;
  size_t media = 0;
  for (const sim::Disk& disk : model.disks) {
    minors.insert(disk.bsd_minor);
    ++media;
    for (const Partition& partition : disk.partitions) {
      minors.insert(partition.bsd_minor);
      ++media;
    }
  }
  for (const Container& container : model.containers) {
    minors.insert(container.bsd_minor);
    ++media;
  }
  for (const Volume& volume : model.volumes) {
    minors.insert(volume.bsd_minor);
    ++media;
  }
  EXPECT_EQ(minors.size(), media);
}

TEST_F(DiskOperationsTest, PartitionContainerAndVolumesOnABlankDisk) {
  const uint32_t disk = testing::PlugTestMedium(machine_, "usb-blank");
  const mcom::DiskName volume = machine_.Change([&](Model& model) {
    const std::vector<mcom::DiskName> partitions =
        PartitionDisk(root(), model, disk, {{std::string(kAPFSPartitionGUID), "Backup", 0}});
    EXPECT_THAT(partitions, ElementsAre(mcom::DiskName{disk, 2}));
    const uint32_t container = CreateContainer(root(), model, partitions);
    const std::string group = "0F0F0F0F-1111-4222-8333-444444444444";
    AddVolume(root(), model, container, {"Macintosh HD", {"System"}, group});
    return AddVolume(root(), model, container, {"Macintosh HD - Data", {"Data"}, group});
  });
  const Model model = machine_.Read();
  const sim::Disk& blank = *FindDisk(model, disk);
  EXPECT_EQ(blank.content, "GUID_partition_scheme");
  ASSERT_EQ(blank.partitions.size(), 2u);
  EXPECT_EQ(blank.partitions[0].type, kEFIPartitionGUID);
  EXPECT_EQ(blank.partitions[0].size, kEFIPartitionSize);
  EXPECT_EQ(blank.partitions[1].base % 4096, 0u);
  EXPECT_LE(blank.partitions[1].base + blank.partitions[1].size, blank.size);
  EXPECT_EQ(volume, (mcom::DiskName{disk + 1, 2}));
  const Container& container = *FindContainer(model, disk + 1);
  EXPECT_EQ(container.size, blank.partitions[1].size);
  EXPECT_THAT(container.stores, ElementsAre(mcom::FormatDiskName(mcom::DiskName{disk, 2})));
  EXPECT_TRUE(std::filesystem::is_directory(
      VolumeStorePath(root(), FindVolume(model, volume)->store).string()));
}

TEST_F(DiskOperationsTest, VolumeSlicesAreReusedAndRecoveryGetsTheBootContent) {
  const uint32_t container = machine_.Change([&](Model& model) {
    const uint32_t disk =
        AddWholeDisk(model, ImageDiskSpec("/i.sparseimage", "SPARSE", 1 << 30, "rw"));
    return CreateContainer(root(), model, {mcom::DiskName{disk}});
  });
  machine_.Change([&](Model& model) {
    AddVolume(root(), model, container, {"A", {}, ""});
    AddVolume(root(), model, container, {"B", {}, ""});
    RemoveVolume(root(), model, mcom::DiskName{container, 1});
    EXPECT_EQ(AddVolume(root(), model, container, {"R", {"Recovery"}, ""}),
              (mcom::DiskName{container, 1}));
  });
  const Model model = machine_.Read();
  EXPECT_EQ(FindVolume(model, mcom::DiskName{container, 1})->content, kAPFSVolumeContent);
  EXPECT_EQ(FindVolume(model, mcom::DiskName{container, 2})->content, kAPFSVolumeContent);
  EXPECT_EQ(FindDisk(model, container - 1)->media_name, "Apple sparse disk image Media");
}

// Measuring counts allocated blocks only (holes and link targets are not counted) and reads
// the folders without changing their access times, which a later copy of the volume keeps.
TEST(MeasureUsedBytesTest, CountsAllocatedBlocksAndKeepsAccessTimes) {
  ::testing::TemporaryFolder folder;
  const mcom::FilePath tree = folder.Join("tree");
  folder.WriteFile("tree/a/b/data", std::string(64 * 1024, 'x'));
  folder.WriteFile("outside", std::string(256 * 1024, 'y'));
  ASSERT_EQ(::symlink(folder.Join("outside").c_str(), tree.Join("a/link").c_str()), 0);
  const mcom::FilePath sparse = tree.Join("a/sparse");
  folder.WriteFile("tree/a/sparse", "");
  ASSERT_EQ(::truncate(sparse.c_str(), off_t{1} << 30), 0);

  const timespec old_times[2] = {{1600000000, 5}, {1600000000, 7}};
  for (const char* relative : {"", "a", "a/b"}) {
    const mcom::FilePath path = *relative ? tree.Join(relative) : tree;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0) << relative;
  }
  const uint64_t used = MeasureUsedBytes(tree);
  EXPECT_GE(used, 64u * 1024);
  EXPECT_LT(used, 128u * 1024) << "neither the hole nor the link's target counts";
  for (const char* relative : {"", "a", "a/b"}) {
    struct stat status {};
    ASSERT_EQ(::stat((*relative ? tree.Join(relative) : tree).c_str(), &status), 0);
    EXPECT_EQ(status.st_atim.tv_sec, 1600000000) << relative;
    EXPECT_EQ(status.st_atim.tv_nsec, 5) << relative;
  }
  EXPECT_EQ(MeasureUsedBytes(folder.Join("missing")), 0u);
}

TEST_F(DiskOperationsTest, HFSVolumesEraseAndCopy) {
  const uint32_t hfs_disk = testing::PlugTestMedium(machine_, "usb-hfs");
  const uint32_t apfs_disk = testing::PlugTestMedium(machine_, "usb-apfs");
  const mcom::DiskName hfs{hfs_disk, 2};
  const mcom::DiskName apfs{apfs_disk + 1, 1};
  machine_.Change([&](Model& model) { CopyVolumeFiles(root(), model, hfs, apfs); });
  Model model = machine_.Read();
  const mcom::FilePath source = VolumeFilesPath(root(), *FindVolume(model, hfs));
  const mcom::FilePath target = VolumeFilesPath(root(), *FindVolume(model, apfs));
  EXPECT_EQ(target, root().Join("Volumes/USB APFS")) << "copied into the mounted volume";
  EXPECT_EQ(MeasureUsedBytes(source), MeasureUsedBytes(target));
  EXPECT_EQ(FindVolume(model, apfs)->used, MeasureUsedBytes(target));
  EXPECT_TRUE(std::filesystem::exists(target.Join(".localized").string()));

  const std::string old_uuid = FindVolume(model, apfs)->uuid;
  machine_.Change([&](Model& m) { EraseVolume(root(), m, apfs, "Erased"); });
  model = machine_.Read();
  EXPECT_TRUE(std::filesystem::is_empty(target.string())) << "still mounted, now empty";
  EXPECT_EQ(FindVolume(model, apfs)->name, "Erased");
  EXPECT_NE(FindVolume(model, apfs)->uuid, old_uuid);

  // Reformatting the HFS+ partition makes a new, empty volume there.
  machine_.Change([&](Model& m) { CreateHFSVolume(root(), m, hfs, "Fresh"); });
  model = machine_.Read();
  EXPECT_EQ(FindVolume(model, hfs)->name, "Fresh");
  EXPECT_FALSE(FindVolume(model, hfs)->is_mounted());
  EXPECT_FALSE(std::filesystem::exists(source.string())) << "the old mount point is gone";
  EXPECT_THROW(machine_.Change([&](Model& m) { CopyVolumeFiles(root(), m, apfs, apfs); }),
               MachineError);
}

TEST_F(DiskOperationsTest, RefusalsChangeNothing) {
  const uint32_t disk = testing::PlugTestMedium(machine_, "usb-hfs");
  const Model before = machine_.Read();
  const auto expect_refused = [&](const std::function<void(Model&)>& change, const char* text) {
    try {
      machine_.Change(change);
      ADD_FAILURE() << "not refused: " << text;
    } catch (const MachineError& error) {
      EXPECT_THAT(error.what(), HasSubstr(text));
    }
  };
  expect_refused(
      [&](Model& m) {
        PartitionDisk(root(), m, disk, {{"X", "big", 1ull << 50}});
      },
      "do not fit");
  expect_refused(
      [&](Model& m) {
        PartitionDisk(root(), m, disk, {{"X", "rest", 0}, {"X", "after", 1 << 20}});
      },
      "only the last partition");
  expect_refused([&](Model& m) { PartitionDisk(root(), m, 0, {}); }, "running system");
  expect_refused([&](Model& m) { RemoveDisk(root(), m, 0); }, "running system");
  expect_refused([&](Model& m) { RemoveDisk(root(), m, 42); }, "no such disk: disk42");
  expect_refused(
      [&](Model& m) {
        CreateContainer(root(), m, {mcom::DiskName{disk, 2}});
      },
      "holds a volume");
  expect_refused(
      [&](Model& m) {
        CreateContainer(root(), m, {mcom::DiskName{0, 2}});
      },
      "already holds an APFS container");
  expect_refused([&](Model& m) { CreateContainer(root(), m, {mcom::DiskName{disk}}); },
                 "has a partition scheme");
  expect_refused(
      [&](Model& m) {
        EraseVolume(root(), m, mcom::DiskName{1, 1}, "");
      },
      "running system");
  expect_refused([&](Model& m) { AddWholeDisk(m, WholeDiskSpec{}); }, "needs a size");
  expect_refused([&](Model& m) { UnplugMedium(root(), m, mcom::DiskName{0}); },
                 "disk0 was not plugged");
  EXPECT_EQ(FindDisk(machine_.Read(), disk)->partitions.size(), before.disks[1].partitions.size());
  EXPECT_TRUE(FindVolume(machine_.Read(), mcom::DiskName{disk, 2})->is_mounted());
}

}  // namespace
}  // namespace sim
