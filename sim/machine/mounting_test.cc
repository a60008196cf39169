#include "sim/machine/mounting.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/foundation/process.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/blockers.h"
#include "sim/machine/disk_arbitration_status.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::HasSubstr;

DORVANE_TEST_CHILD(exit_at_once) { return 0; }

bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

ino_t InodeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

class MountingTest : public ::testing::Test {
 protected:
  MountingTest() : machine_(testing::MakeTestMachine(folder_.Join("mac"))) {
    disk_ = testing::PlugTestMedium(machine_, "usb-apfs");
    // Plugging mounts the medium's volume; most tests start from an unmounted one.
    machine_.Change([&](Model& model) { Unmount(root(), model, Volume()); });
  }

  const mcom::FilePath& root() const { return machine_.root(); }
  // The USB disk's one volume: its container takes the next number after the disk.
  mcom::DiskName Volume() const { return mcom::DiskName{disk_ + 1, 1}; }

  MountOutcome MountVolume(mcom::DiskName name, const MountOptions& options = {}) {
    return machine_.Change([&](Model& model) { return Mount(root(), model, name, options); });
  }
  MountOutcome UnmountVolume(mcom::DiskName name) {
    return machine_.Change([&](Model& model) { return Unmount(root(), model, name); });
  }
  sim::Volume Read(mcom::DiskName name) { return *FindVolume(machine_.Read(), name); }

  ::testing::TemporaryFolder folder_;
  Machine machine_;
  uint32_t disk_ = 0;
};

TEST_F(MountingTest, MountMovesTheStoreAndUnmountMovesItBack) {
  const sim::Volume before = Read(Volume());
  const std::string store = VolumeStorePath(root(), before.store).string();
  const ino_t inode = InodeOf(store);
  ASSERT_NE(inode, 0u);

  const MountOutcome mounted = MountVolume(Volume());
  ASSERT_TRUE(mounted.ok()) << mounted.message;
  EXPECT_EQ(mounted.mount_point, root().Join("Volumes/USB APFS"));
  EXPECT_FALSE(Exists(store));
  EXPECT_EQ(InodeOf(mounted.mount_point.string()), inode) << "renamed, not copied";
  EXPECT_EQ(Read(Volume()).mount_point, mounted.mount_point.string());
  EXPECT_EQ(VolumeFilesPath(root(), Read(Volume())), mounted.mount_point);

  // Mounting again answers the same place and changes nothing.
  EXPECT_EQ(MountVolume(Volume()).mount_point, mounted.mount_point);

  ASSERT_TRUE(UnmountVolume(Volume()).ok());
  EXPECT_EQ(InodeOf(store), inode);
  EXPECT_FALSE(Exists(mounted.mount_point.string())) << "the default mount point goes";
  EXPECT_EQ(UnmountVolume(Volume()).status, kDAReturnNotMounted);
}

TEST_F(MountingTest, DefaultMountPointsGetNumberSuffixes) {
  ASSERT_EQ(::mkdir(root().Join("Volumes/USB APFS").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(root().Join("Volumes/USB APFS 1").c_str(), 0755), 0);
  EXPECT_EQ(MountVolume(Volume()).mount_point, root().Join("Volumes/USB APFS 2"));
  EXPECT_EQ(DefaultMountPoint(root(), "a/b"), root().Join("Volumes/a:b"));
  EXPECT_EQ(DefaultMountPoint(root(), ""), root().Join("Volumes/Untitled"));
  EXPECT_EQ(DefaultMountPoint(root(), ".."), root().Join("Volumes/Untitled"));
}

TEST_F(MountingTest, GivenDirectoryIsReplacedAndComesBackEmpty) {
  const mcom::FilePath given = folder_.Join("mount-here");
  ASSERT_EQ(::mkdir(given.c_str(), 0700), 0);
  const MountOutcome mounted = MountVolume(Volume(), {given, true, true});
  ASSERT_TRUE(mounted.ok()) << mounted.message;
  EXPECT_EQ(mounted.mount_point, given);
  EXPECT_TRUE(Exists(given.Join(".localized").string())) << "the volume's files are there";
  const sim::Volume volume = Read(Volume());
  EXPECT_EQ(volume.mount_options, (std::vector<std::string>{"ro", "nobrowse"}));
  EXPECT_EQ(MountVolume(Volume(), {folder_.Join("elsewhere"), false, false}).status, kDAReturnBusy);

  ASSERT_TRUE(UnmountVolume(Volume()).ok());
  struct stat status {};
  ASSERT_EQ(::stat(given.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_TRUE(std::filesystem::is_empty(given.string()));
  EXPECT_TRUE(Exists(VolumeStorePath(root(), volume.store).Join(".localized").string()));
}

TEST_F(MountingTest, BadMountPointsAreRefusedWithTheServiceStatus) {
  EXPECT_EQ(MountVolume(Volume(), {folder_.Join("missing"), false, false}).status,
            kDAReturnNotFound);
  const mcom::FilePath file = folder_.WriteFile("file", "x");
  EXPECT_EQ(MountVolume(Volume(), {file, false, false}).status, kDAReturnBadArgument);
  folder_.WriteFile("full/file", "x");
  const MountOutcome full = MountVolume(Volume(), {folder_.Join("full"), false, false});
  EXPECT_EQ(full.status, kDAReturnBusy);
  EXPECT_THAT(full.message, HasSubstr("not empty"));
  EXPECT_EQ(MountVolume(Volume(), {StateFolder(root()).Join("images"), false, false}).status,
            kDAReturnBadArgument);
  EXPECT_EQ(MountVolume(Volume(), {mcom::FilePath("relative"), false, false}).status,
            kDAReturnBadArgument);
  EXPECT_EQ(MountVolume(mcom::DiskName{9, 1}).status, kDAReturnNotFound);
  EXPECT_FALSE(Read(Volume()).is_mounted());
  EXPECT_TRUE(Exists(VolumeStorePath(root(), Read(Volume()).store).Join(".localized").string()))
      << "nothing was moved";
  EXPECT_TRUE(Exists(folder_.Join("full/file").string()));
}

TEST_F(MountingTest, AnEmptyVolumesMountPointIsNotReplacedByAnother) {
  const mcom::FilePath given = folder_.Join("shared");
  ASSERT_EQ(::mkdir(given.c_str(), 0755), 0);
  // A second, empty volume in the same container.
  const mcom::DiskName empty = machine_.Change([&](Model& model) {
    return AddVolume(root(), model, disk_ + 1, {"Empty", {}, ""});
  });
  ASSERT_TRUE(MountVolume(empty, {given, false, false}).ok());
  EXPECT_EQ(MountVolume(Volume(), {given, false, false}).status, kDAReturnBusy);
}

TEST_F(MountingTest, BlockersRefuseTheDiskAndItsSlicesWhileTheirProcessLives) {
  const mcom::DiskName container{disk_ + 1};
  machine_.Change(
      [&](Model& model) { AddBlocker(model, getpid(), mcom::FormatDiskName(container)); });
  const MountOutcome refused = MountVolume(Volume());
  EXPECT_EQ(refused.status, kDAReturnBusy);
  EXPECT_EQ(refused.status, 0xF8DA0002u);
  EXPECT_THAT(refused.message, HasSubstr(std::to_string(getpid())));
  EXPECT_EQ(machine_.Change(
                [&](Model& model) { return MountWholeDisk(root(), model, container, {}).status; }),
            kDAReturnBusy);
  // The blocker names the container's disk; the physical disk under it is another disk.
  EXPECT_FALSE(FindBlocker(machine_.Read(), mcom::DiskName{disk_, 2}).has_value());
  EXPECT_FALSE(FindBlocker(machine_.Read(), mcom::DiskName{1, 1}).has_value());

  machine_.Change(
      [&](Model& model) { RemoveBlocker(model, getpid(), mcom::FormatDiskName(container)); });
  EXPECT_TRUE(MountVolume(Volume()).ok());
}

TEST_F(MountingTest, BlockersOfExitedProcessesAreIgnoredAndDropped) {
  const mcom::Result<pid_t> child = mcom::SpawnProcess(
      ::testing::TestBinary().c_str(), ::testing::ChildArguments("exit_at_once"), {});
  ASSERT_TRUE(child.has_value());
  ASSERT_FALSE(mcom::WaitForProcess(*child));
  machine_.Change([&](Model& model) {
    AddBlocker(model, *child, mcom::FormatDiskName(mcom::DiskName{disk_ + 1}));
    // Still in the model within this change, but ignored already.
    EXPECT_EQ(model.blockers.size(), 1u);
    EXPECT_FALSE(FindBlocker(model, Volume()).has_value());
  });
  EXPECT_TRUE(machine_.Read().blockers.empty()) << "dropped by the change that wrote it";
  EXPECT_TRUE(MountVolume(Volume()).ok());
}

TEST_F(MountingTest, EjectUnmountsAndRemovesAnExternalDisk) {
  ASSERT_TRUE(MountVolume(Volume()).ok());
  const std::string store = VolumeStorePath(root(), Read(Volume()).store).string();
  const MountOutcome ejected =
      machine_.Change([&](Model& model) { return Eject(root(), model, mcom::DiskName{disk_}); });
  ASSERT_TRUE(ejected.ok()) << ejected.message;
  const Model model = machine_.Read();
  EXPECT_EQ(FindDisk(model, disk_), nullptr);
  EXPECT_EQ(FindContainer(model, disk_ + 1), nullptr);
  EXPECT_EQ(FindVolume(model, Volume()), nullptr);
  EXPECT_FALSE(Exists(store));
  EXPECT_FALSE(Exists(root().Join("Volumes/USB APFS").string()));
  EXPECT_TRUE(model.plugged.empty());
}

TEST_F(MountingTest, TheRunningSystemIsInTheTableOnlyAndStays) {
  const Model model = machine_.Read();
  const std::vector<MountTableEntry> table = MountTable(model);
  ASSERT_GE(table.size(), 2u);
  EXPECT_EQ(table[0].bsd_name, "disk1s5");
  EXPECT_EQ(table[0].mount_point, "/");
  EXPECT_EQ(table[1].bsd_name, "disk1s1");
  EXPECT_EQ(table[1].mount_point, "/System/Volumes/Data");
  EXPECT_TRUE(std::filesystem::is_empty(root().Join("System/Volumes/Data").string()));
  EXPECT_EQ(VolumeFilesPath(root(), *FindVolume(model, mcom::DiskName{1, 5})),
            VolumeStorePath(root(), FindVolume(model, mcom::DiskName{1, 5})->store));

  EXPECT_EQ(MountVolume(mcom::DiskName{1, 5}).mount_point, mcom::FilePath("/"));
  EXPECT_EQ(UnmountVolume(mcom::DiskName{1, 5}).status, kDAReturnBusy);
  EXPECT_EQ(machine_.Change([&](Model& m) { return Eject(root(), m, mcom::DiskName{0}).status; }),
            kDAReturnBusy);
  // Other volumes of the internal disk mount like any other.
  const MountOutcome recovery = MountVolume(mcom::DiskName{1, 3}, {std::nullopt, true, false});
  ASSERT_TRUE(recovery.ok()) << recovery.message;
  EXPECT_EQ(recovery.mount_point, root().Join("Volumes/Recovery"));
}

TEST_F(MountingTest, AMountPointRemovedBehindTheMachinesBackUnmountsEmpty) {
  const MountOutcome mounted = MountVolume(Volume());
  ASSERT_TRUE(mounted.ok());
  std::filesystem::remove_all(mounted.mount_point.string());
  ASSERT_TRUE(UnmountVolume(Volume()).ok());
  const sim::Volume volume = Read(Volume());
  EXPECT_TRUE(std::filesystem::is_empty(VolumeStorePath(root(), volume.store).string()));
  EXPECT_TRUE(MountVolume(Volume()).ok());
}

}  // namespace
}  // namespace sim
