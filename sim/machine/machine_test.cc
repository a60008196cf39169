#include "sim/machine/machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/foundation/full_disk_access.h"
#include "core/foundation/process.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::HasSubstr;

TEST(MachineLayout, ARootLooksLikeAMac) {
  ::testing::TemporaryFolder folder;
  const mcom::FilePath root = folder.Join("mac");
  testing::MakeTestMachine(root);
  for (const char* path : {"Applications", "Library/LaunchDaemons", "Library/PrivilegedHelperTools",
                           "System/Library/CoreServices", "Users/Shared", "Volumes", "usr/sbin",
                           "sbin", "private/var/run", "private/var/db/macsim/volumes"}) {
    EXPECT_TRUE(std::filesystem::is_directory(root.Join(path).string())) << path;
  }
  EXPECT_EQ(std::filesystem::read_symlink(root.Join("tmp").string()), "private/tmp");
  EXPECT_EQ(std::filesystem::read_symlink(root.Join("var").string()), "private/var");
  struct stat status {};
  ASSERT_EQ(::stat(root.Join("private/var/log/system.log").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(status.st_size, 0);
  ASSERT_EQ(::stat(root.Join("private/tmp").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 01777u);
  EXPECT_TRUE(IsMachineRoot(root));
  EXPECT_FALSE(IsMachineRoot(folder.path()));
}

TEST(MachineCreation, RefusesRootsThatAreNotEmptyAndFixturesThatAreMedia) {
  ::testing::TemporaryFolder folder;
  folder.WriteFile("used/file", "x");
  EXPECT_THAT([&] { testing::MakeTestMachine(folder.Join("used")); },
              ::testing::ThrowsMessage<MachineError>(HasSubstr("not empty")));
  EXPECT_EQ(::testing::TemporaryFolder::ReadFile(folder.Join("used/file")), "x");
  EXPECT_THROW(testing::MakeTestMachine(folder.Join("usb"), "usb-hfs"), MachineError);
  EXPECT_FALSE(std::filesystem::exists(folder.Join("usb").string())) << "cleaned up";
  EXPECT_THROW(Machine(folder.Join("used")), MachineError);
}

TEST(MachineCreation, SystemAndRecoveryVolumesHoldTheirFiles) {
  ::testing::TemporaryFolder folder;
  const Machine machine = testing::MakeTestMachine(folder.Join("mac"));
  const Model model = machine.Read();
  const Volume& system = *FindVolume(model, mcom::DiskName{1, 5});
  const mcom::FilePath system_files = VolumeFilesPath(machine.root(), system);
  EXPECT_THAT(::testing::TemporaryFolder::ReadFile(
                  system_files.Join("System/Library/CoreServices/SystemVersion.plist")),
              HasSubstr("<string>10.15.7</string>"));
  const Volume& recovery = *FindVolume(model, mcom::DiskName{1, 3});
  const mcom::FilePath boot_folder =
      VolumeFilesPath(machine.root(), recovery).Join(system.group_uuid);
  for (const char* name : {"BaseSystem.dmg", "boot.efi", "prelinkedkernel"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(boot_folder.Join(name).string())) << name;
  }
  EXPECT_TRUE(::testing::TemporaryFolder::ReadFile(boot_folder.Join("BaseSystem.dmg"))
                  .starts_with("DORVANE-SIM-IMAGE 1\n"));
  EXPECT_TRUE(std::filesystem::is_empty(ImagesFolder(machine.root()).string()))
      << "the scratch folder is cleaned up";
  EXPECT_GT(system.used, 0u);
}

TEST(Machine, AChangeThatThrowsWritesNothing) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"));
  const std::string before = ::testing::TemporaryFolder::ReadFile(MachinePlistPath(machine.root()));
  EXPECT_THROW(machine.Change([](Model& model) {
    model.facts.host_name = "changed";
    throw MachineError("no");
  }),
               MachineError);
  EXPECT_EQ(::testing::TemporaryFolder::ReadFile(MachinePlistPath(machine.root())), before);
  EXPECT_EQ(machine.Change([](Model& model) { return model.facts.host_name; }), "mac");
}

TEST(Machine, TheRegistryIsRewrittenOnlyWhenItChanges) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"));
  const auto inode = [&] {
    struct stat status {};
    ::stat(RegistryPlistPath(machine.root()).c_str(), &status);
    return status.st_ino;
  };
  const ino_t first = inode();
  machine.Change([](Model& model) { ApplySetting(model, "fault.hdiutil.create", "fail"); });
  EXPECT_EQ(inode(), first);
  EXPECT_EQ(machine.Read().faults.at("hdiutil.create"), "fail");
  testing::PlugTestMedium(machine, "usb-blank");
  EXPECT_NE(inode(), first);
}

TEST(MachineSettings, FactsAndFaults) {
  Model model;
  ApplySetting(model, "full-disk-access", "no");
  ApplySetting(model, "administrator-approves", "no");
  ApplySetting(model, "recovery-environment", "yes");
  ApplySetting(model, "product-version", "10.15.6");
  ApplySetting(model, "fault.asr.restore", "fail-after-volume:1");
  EXPECT_FALSE(model.facts.full_disk_access);
  EXPECT_FALSE(model.facts.administrator_approves);
  EXPECT_TRUE(model.facts.recovery_environment);
  EXPECT_EQ(model.facts.product_version, "10.15.6");
  EXPECT_EQ(model.faults.at("asr.restore"), "fail-after-volume:1");
  ApplySetting(model, "fault.asr.restore", "");
  EXPECT_TRUE(model.faults.empty());

  EXPECT_THROW(ApplySetting(model, "full-disk-access", "maybe"), MachineError);
  EXPECT_THROW(ApplySetting(model, "colour", "blue"), MachineError);
  EXPECT_THROW(ApplySetting(model, "fault.hdiutil", "fail"), MachineError);
  EXPECT_THROW(ApplySetting(model, "fault..create", "fail"), MachineError);
  EXPECT_THROW(ApplySetting(model, "product-version", ""), MachineError);
  EXPECT_TRUE(model.faults.empty());
}

TEST(FullDiskAccess, FollowsTheMachinesFact) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachine(root.path());
  EXPECT_TRUE(mcom::HasFullDiskAccess());
  machine.Change([](Model& model) { ApplySetting(model, "full-disk-access", "no"); });
  EXPECT_FALSE(mcom::HasFullDiskAccess());
  machine.Change([](Model& model) { ApplySetting(model, "full-disk-access", "yes"); });
  EXPECT_TRUE(mcom::HasFullDiskAccess());
}

// One of several processes changing one machine at once: plugs a medium, mounts and
// unmounts its volume, sets a fault, unplugs it again, `arguments[1]` times.
DORVANE_TEST_CHILD(hammer_machine) {
  try {
    Machine machine{mcom::FilePath(arguments.at(0))};
    const Fixture medium = testing::TestFixture("usb-apfs");
    const int rounds = std::stoi(arguments.at(1));
    for (int round = 0; round < rounds; ++round) {
      const uint32_t disk = machine.Change(
          [&](Model& model) { return PlugMedium(machine.root(), model, medium, 4096); });
      const mcom::DiskName volume{disk + 1, 1};
      machine.Change([&](Model& model) { Unmount(machine.root(), model, volume); });
      const MountOutcome mounted =
          machine.Change([&](Model& model) { return Mount(machine.root(), model, volume, {}); });
      if (!mounted.ok()) return 2;
      machine.Change([&](Model& model) {
        ApplySetting(model, "fault.hammer." + std::to_string(getpid()), std::to_string(round));
      });
      machine.Change(
          [&](Model& model) { UnplugMedium(machine.root(), model, mcom::DiskName{disk}); });
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "hammer: %s\n", error.what());
    return 1;
  }
  return 0;
}

TEST(Machine, SeveralProcessesChangingItAtOnceNeverCorruptIt) {
  ::testing::TemporaryFolder folder;
  const Machine machine = testing::MakeTestMachine(folder.Join("mac"));
  constexpr int kProcesses = 4;
  constexpr int kRounds = 6;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const mcom::Result<pid_t> child = mcom::SpawnProcess(
        ::testing::TestBinary().c_str(),
        ::testing::ChildArguments("hammer_machine",
                                  {machine.root().string(), std::to_string(kRounds)}),
        {});
    ASSERT_TRUE(child.has_value());
    children.push_back(*child);
  }
  for (pid_t child : children) EXPECT_FALSE(mcom::WaitForProcess(child)) << "child " << child;

  // Every change landed: each process's last fault, and nothing plugged remains.
  const Model model = machine.Read();
  EXPECT_EQ(model.faults.size(), static_cast<size_t>(kProcesses));
  for (const auto& [name, value] : model.faults) EXPECT_EQ(value, std::to_string(kRounds - 1));
  EXPECT_EQ(model.disks.size(), 1u);
  EXPECT_EQ(model.containers.size(), 1u);
  EXPECT_EQ(model.volumes.size(), 5u);
  EXPECT_TRUE(model.plugged.empty());
  EXPECT_EQ(LowestFreeDiskNumber(model), 2u);
  // Exactly the stores of the model's volumes are left, and nothing is mounted.
  std::set<std::string> stores;
  for (const auto& entry :
       std::filesystem::directory_iterator(VolumeStoresFolder(machine.root()).string())) {
    stores.insert(entry.path().filename().string());
  }
  std::set<std::string> expected;
  for (const Volume& volume : model.volumes) expected.insert(volume.store);
  EXPECT_EQ(stores, expected);
  EXPECT_TRUE(std::filesystem::is_empty(machine.root().Join("Volumes").string()));
}

}  // namespace
}  // namespace sim
