// Runs the simulated diskutil installed in test machines, as the system runs it, and checks
// its output, its exit status and the machine afterwards.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

using Outcome = testing::ProgramRun;

bool Exists(const mcom::FilePath& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> RecoveryLayout(const std::string& disk, const std::string& size) {
  return {"partitionDisk", disk, "2", "GPT", "jhfs+", "Recovery", size, "jhfs+", "User Data", "R"};
}

class DiskutilTest : public ::testing::Test {
 protected:
  DiskutilTest()
      : previous_root_(mcom::SystemRoot()),
        machine_(testing::MakeTestMachineWithTools(folder_.Join("mac"))) {
    mcom::SetSystemRoot(machine_.root());
  }
  ~DiskutilTest() override { mcom::SetSystemRoot(previous_root_); }

  static Outcome Diskutil(const std::vector<std::string>& arguments) {
    return testing::RunTool("/usr/sbin/diskutil", arguments);
  }

  uint32_t Plug(const std::string& medium) { return testing::PlugTestMedium(machine_, medium); }
  // Sets the fault hook `hook`, or with "" removes it.
  void SetFault(const std::string& hook, const std::string& value) {
    machine_.Change([&](Model& model) {
      if (value.empty()) {
        model.faults.erase(hook);
      } else {
        model.faults[hook] = value;
      }
    });
  }
  const mcom::FilePath& root() const { return machine_.root(); }

  // The property list a run printed; null (and a failure) when it does not parse.
  static cf::Ref<cf::Dictionary> ParseList(const Outcome& run) {
    cf::Ref<cf::Object> list = cf::PropertyListFromBytes(run.out.data(), run.out.size());
    cf::Ref<cf::Dictionary> dictionary = cf::As<cf::Dictionary>(list);
    EXPECT_TRUE(dictionary) << run.out;
    return dictionary;
  }
  static std::vector<std::string> Strings(const cf::Ref<cf::Array>& array) {
    std::vector<std::string> strings;
    for (size_t i = 0; array && i < array->Count(); ++i) {
      strings.push_back(cf::ToStdString(array->Get<cf::String>(i)));
    }
    return strings;
  }

  ::testing::TemporaryFolder folder_;
  mcom::FilePath previous_root_;
  Machine machine_;
};

// ---- apfs createContainer -------------------------------------------------------------

TEST_F(DiskutilTest, CreatesAContainerDirectlyOnABlankDisk) {
  const uint32_t disk = Plug("usb-blank");
  const std::string name = "disk" + std::to_string(disk);
  const Outcome run = Diskutil({"apfs", "createContainer", name});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, IsEmpty());

  const Model model = machine_.Read();
  const Container* container = ContainerOnStore(model, name);
  ASSERT_NE(container, nullptr);
  // A layout-NONE disk is used as it is: no partition map appears, and the tool names the
  // container it made.
  EXPECT_TRUE(FindDisk(model, disk)->partitions.empty());
  EXPECT_THAT(run.out,
              HasSubstr("Created new APFS Container " + mcom::FormatDiskName(container->name())));
  EXPECT_THAT(run.out, HasSubstr("Finished APFS operation on " + name));
}

TEST_F(DiskutilTest, CreatingAContainerOnAPartitionedDiskReplacesWhatWasOnIt) {
  const uint32_t disk = Plug("usb-hfs");
  const mcom::FilePath old_mount = root().Join("Volumes/USB HFS");
  ASSERT_TRUE(Exists(old_mount));

  const Outcome run = Diskutil({"apfs", "createContainer", "/dev/disk" + std::to_string(disk)});
  ASSERT_EQ(run.status, 0) << run.err;
  const Model model = machine_.Read();
  const Disk& repartitioned = *FindDisk(model, disk);
  ASSERT_EQ(repartitioned.partitions.size(), 2u);
  EXPECT_EQ(repartitioned.partitions[0].type, kEFIPartitionGUID);
  EXPECT_EQ(repartitioned.partitions[1].type, kAPFSPartitionGUID);
  EXPECT_NE(ContainerOnStore(model, "disk" + std::to_string(disk) + "s2"), nullptr);
  EXPECT_EQ(VolumeOnPartition(model, mcom::DiskName{disk, 2}), nullptr);
  EXPECT_FALSE(Exists(old_mount));
}

TEST_F(DiskutilTest, CreateContainerRefusesWhatItMustNotTouch) {
  const size_t containers = machine_.Read().containers.size();
  struct Case {
    std::string disk;
    std::string error;
  };
  for (const Case& test : std::vector<Case>{
           {"disk9", "Could not find disk: disk9"},
           {"disk0", "Error: -69877: Couldn't open device"},    // the running system's disk
           {"disk0s2", "Error: -69877: Couldn't open device"},  // its container's store
           {"disk1", "is an APFS Container or Volume"},         // a container is no store
           {"disk0s2x", "Could not find disk: disk0s2x"},
       }) {
    const Outcome run = Diskutil({"apfs", "createContainer", test.disk});
    EXPECT_EQ(run.status, 1) << test.disk;
    EXPECT_THAT(run.err, HasSubstr(test.error)) << test.disk;
  }
  EXPECT_EQ(machine_.Read().containers.size(), containers);
}

TEST_F(DiskutilTest, FaultHooksFailWithTheUsualOrTheGivenErrorAndChangeNothing) {
  const uint32_t disk = Plug("usb-blank");
  const std::string name = "disk" + std::to_string(disk);
  const std::vector<std::pair<std::string, std::vector<std::string>>> verbs = {
      {"createContainer", {"apfs", "createContainer", name}},
      {"partitionDisk", RecoveryLayout(name, "800M")},
  };
  for (const auto& [verb, arguments] : verbs) {
    SCOPED_TRACE(verb);
    SetFault("diskutil." + verb, "fail");
    Outcome run = Diskutil(arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error: -69877: Couldn't open device\n");
    SetFault("diskutil." + verb, "fail:Error: -69760: Unable to write to the last block");
    run = Diskutil(arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error: -69760: Unable to write to the last block\n");
    SetFault("diskutil." + verb, "");
  }
  EXPECT_TRUE(FindDisk(machine_.Read(), disk)->partitions.empty());

  // A hook value of no known form is a failure too, never a silent success.
  SetFault("diskutil.createContainer", "flaky");
  EXPECT_EQ(Diskutil({"apfs", "createContainer", name}).status, 1);
  EXPECT_EQ(ContainerOnStore(machine_.Read(), name), nullptr);

  // At exit: the work is done, and the run still fails.
  SetFault("diskutil.createContainer", "fail-at-exit;status=4");
  const Outcome run = Diskutil({"apfs", "createContainer", name});
  EXPECT_EQ(run.status, 4);
  EXPECT_THAT(run.out, HasSubstr("Finished APFS operation on " + name));
  EXPECT_NE(ContainerOnStore(machine_.Read(), name), nullptr);
}

// A real Mac cannot take away the volume that holds the file of an attached image.
TEST_F(DiskutilTest, TheVolumeHoldingAnAttachedImageIsBusy) {
  const uint32_t disk = Plug("usb-hfs");
  const std::string name = "disk" + std::to_string(disk);
  const std::string image = root().Join("Volumes/USB HFS/Backup.sparseimage").string();
  ASSERT_EQ(testing::RunTool("/usr/bin/hdiutil",
                             {"create", "-size", "1g", "-type", "SPARSE", "-layout", "NONE", image})
                .status,
            0);
  ASSERT_EQ(testing::RunTool("/usr/bin/hdiutil", {"attach", "-nomount", "-plist", image}).status,
            0);

  const std::string state = ::testing::TemporaryFolder::ReadFile(MachinePlistPath(root()));
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"apfs", "createContainer", name + "s2"},
           {"partitionDisk", name, "GPT", "jhfs+", "X", "R"},
           {"unmountDisk", "force", name},
       }) {
    const Outcome run = Diskutil(arguments);
    EXPECT_EQ(run.status, 1) << arguments[0];
    EXPECT_THAT(run.err, HasSubstr("Resource busy")) << arguments[0];
  }
  EXPECT_EQ(::testing::TemporaryFolder::ReadFile(MachinePlistPath(root())), state);

  for (const Disk& attached : machine_.Read().disks) {
    if (attached.kind != DiskKind::kImage) continue;
    ASSERT_EQ(
        testing::RunTool("/usr/bin/hdiutil", {"detach", mcom::FormatDiskName(attached.name())})
            .status,
        0);
  }
  EXPECT_EQ(Diskutil({"unmountDisk", "force", name}).status, 0);
}

// ---- unmountDisk ----------------------------------------------------------------------

TEST_F(DiskutilTest, UnmountDiskUnmountsEveryVolumeOfTheWholeDisk) {
  const uint32_t disk = Plug("usb-hfs");
  const std::string whole = "disk" + std::to_string(disk);
  const mcom::FilePath mount_point = root().Join("Volumes/USB HFS");
  ASSERT_TRUE(FindVolume(machine_.Read(), mcom::DiskName{disk, 2})->is_mounted());

  // Given a partition, the tool works on its whole disk.
  const Outcome run = Diskutil({"unmountDisk", "force", whole + "s2"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Forced unmount of all volumes on " + whole + " was successful\n");
  EXPECT_FALSE(FindVolume(machine_.Read(), mcom::DiskName{disk, 2})->is_mounted());
  EXPECT_FALSE(Exists(mount_point));

  // Unmounting what is not mounted succeeds; without "force" the message says so.
  const Outcome again = Diskutil({"unmountDisk", whole});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "Unmount of all volumes on " + whole + " was successful\n");
}

TEST_F(DiskutilTest, UnmountDiskUnmountsTheVolumesOfContainersOnTheDisk) {
  const uint32_t disk = Plug("usb-apfs");
  const std::vector<mcom::DiskName> volumes = [&] {
    std::vector<mcom::DiskName> names;
    const Model model = machine_.Read();
    for (const Volume& volume : model.volumes) {
      if (PhysicalDisksOf(model, volume.disk) == std::vector<uint32_t>{disk}) {
        names.push_back(volume.disk);
      }
    }
    return names;
  }();
  ASSERT_FALSE(volumes.empty());
  ASSERT_EQ(Diskutil({"unmountDisk", "force", "disk" + std::to_string(disk)}).status, 0);
  for (mcom::DiskName volume : volumes) {
    EXPECT_FALSE(FindVolume(machine_.Read(), volume)->is_mounted()) << mcom::FormatDiskName(volume);
  }
}

TEST_F(DiskutilTest, UnmountDiskFailsForTheRunningSystemAndUnknownDisks) {
  Outcome run = Diskutil({"unmountDisk", "force", "disk1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "Forced unmount of disk1 failed: at least one volume could not be unmounted\n");
  EXPECT_EQ(MountTable(machine_.Read()).front().mount_point, "/");

  run = Diskutil({"unmountDisk", "force", "disk9"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Could not find disk: disk9\n");
}

TEST_F(DiskutilTest, UnmountDiskFaultHookKeepsTheVolumesMounted) {
  const uint32_t disk = Plug("usb-hfs");
  SetFault("diskutil.unmountDisk", "fail");
  const Outcome run = Diskutil({"unmountDisk", "force", "disk" + std::to_string(disk)});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("failed: at least one volume could not be unmounted"));
  EXPECT_TRUE(FindVolume(machine_.Read(), mcom::DiskName{disk, 2})->is_mounted());
}

// ---- partitionDisk --------------------------------------------------------------------

TEST_F(DiskutilTest, PartitionsARecoveryDiskAndMountsItsVolumes) {
  const uint32_t disk = Plug("usb-hfs");
  const std::string whole = "disk" + std::to_string(disk);
  const Outcome run = Diskutil(RecoveryLayout(whole, "800M"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, StartsWith("Started partitioning on " + whole + "\n"));
  EXPECT_THAT(run.out, HasSubstr("Finished partitioning on " + whole + "\n"));

  const Model model = machine_.Read();
  const Disk& partitioned = *FindDisk(model, disk);
  ASSERT_EQ(partitioned.partitions.size(), 3u);
  EXPECT_EQ(partitioned.partitions[0].type, kEFIPartitionGUID);
  EXPECT_GE(partitioned.partitions[1].size, 800000000u);
  EXPECT_LT(partitioned.partitions[1].size, 800000000u + 4096);
  EXPECT_GT(partitioned.partitions[2].size, partitioned.partitions[1].size);
  EXPECT_LE(partitioned.partitions[2].base + partitioned.partitions[2].size, partitioned.size);

  const Volume* recovery = VolumeOnPartition(model, mcom::DiskName{disk, 2});
  const Volume* data = VolumeOnPartition(model, mcom::DiskName{disk, 3});
  ASSERT_NE(recovery, nullptr);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(recovery->name, "Recovery");
  EXPECT_EQ(recovery->file_system, "hfs");
  EXPECT_EQ(data->name, "User Data");
  // The old volume is gone with its files, and its mount point with it.
  EXPECT_EQ(recovery->mount_point, root().Join("Volumes/Recovery").string());
  EXPECT_EQ(data->mount_point, root().Join("Volumes/User Data").string());
  EXPECT_TRUE(Exists(root().Join("Volumes/Recovery")));
  EXPECT_FALSE(Exists(root().Join("Volumes/USB HFS")));

  // What the recovery builder reads next: the second to last of "AllDisks" is the Recovery
  // partition.
  const Outcome list = Diskutil({"list", "-plist", whole});
  ASSERT_EQ(list.status, 0) << list.err;
  const cf::Ref<cf::Dictionary> parsed = ParseList(list);
  ASSERT_TRUE(parsed);
  EXPECT_THAT(Strings(parsed->GetArray("AllDisks")),
              ElementsAre(whole, whole + "s1", whole + "s2", whole + "s3"));
}

TEST_F(DiskutilTest, PartitionsIntoAnAPFSContainer) {
  const uint32_t disk = Plug("usb-blank");
  const std::string whole = "disk" + std::to_string(disk);
  const Outcome run = Diskutil({"partitionDisk", whole, "1", "GPT", "APFS", "Backups", "R"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Model model = machine_.Read();
  const Container* container = ContainerOnStore(model, whole + "s2");
  ASSERT_NE(container, nullptr);
  const std::vector<const Volume*> volumes = VolumesOfContainer(model, container->number);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0]->name, "Backups");
  EXPECT_TRUE(volumes[0]->is_mounted());
}

TEST_F(DiskutilTest, PartitionDiskRefusesWithoutChangingTheDisk) {
  const uint32_t disk = Plug("usb-hfs");  // 32 GB
  const std::string whole = "disk" + std::to_string(disk);
  const Disk before = *FindDisk(machine_.Read(), disk);
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  for (const Case& test : std::vector<Case>{
           {RecoveryLayout(whole, "40G"),
            "Error: -69519: The target disk is too small for this operation"},
           {RecoveryLayout("disk0", "800M"), "Error: -69888: Couldn't unmount disk"},
           {RecoveryLayout(whole + "s2", "800M"), "is not a whole disk"},
           {RecoveryLayout("disk9", "800M"), "Could not find disk: disk9"},
           {RecoveryLayout("not-a-disk", "800M"), "Could not find disk: not-a-disk"},
           {RecoveryLayout(whole, "800Q"), "800Q is not a valid size"},
           {{"partitionDisk", whole, "2", "GPT", "jhfs+", "A", "1G", "jhfs+", "B"}, "Usage:"},
           {{"partitionDisk", whole}, "Usage:"},
       }) {
    const Outcome run = Diskutil(test.arguments);
    EXPECT_EQ(run.status, 1) << test.error;
    EXPECT_THAT(run.err, HasSubstr(test.error));
  }
  const Model model = machine_.Read();
  const Disk& after = *FindDisk(model, disk);
  ASSERT_EQ(after.partitions.size(), before.partitions.size());
  EXPECT_EQ(after.partitions[1].uuid, before.partitions[1].uuid);
  EXPECT_TRUE(VolumeOnPartition(model, mcom::DiskName{disk, 2})->is_mounted());
  EXPECT_EQ(FindDisk(model, 0)->partitions.size(), 2u);
}

TEST_F(DiskutilTest, PartitionDiskLeavesVolumesUnmountedWhileAProcessRefusesMounts) {
  const uint32_t disk = Plug("usb-blank");
  const std::string whole = "disk" + std::to_string(disk);
  machine_.Change([&](Model& model) { AddBlocker(model, getpid(), whole); });
  const Outcome run = Diskutil(RecoveryLayout(whole, "800M"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("Volume on " + whole + "s2 failed to mount"));
  const Model model = machine_.Read();
  ASSERT_NE(VolumeOnPartition(model, mcom::DiskName{disk, 2}), nullptr);
  EXPECT_FALSE(VolumeOnPartition(model, mcom::DiskName{disk, 2})->is_mounted());
}

// ---- list -plist ----------------------------------------------------------------------

// Python's plistlib reads the listing, and every key and value type in it is one the Mac's
// listing has (the real sample of a full listing).
TEST_F(DiskutilTest, PropertyListParsesWithPlistlibAndHasTheKeysOfTheRealOutput) {
  Plug("usb-hfs");
  Plug("usb-blank");
  const Outcome run = Diskutil({"list", "-plist"});
  ASSERT_EQ(run.status, 0) << run.err;
  const mcom::FilePath ours = folder_.WriteFile("list.plist", run.out);
  const std::string script = folder_
                                 .WriteFile("check.py", R"(
import plistlib, sys
ours = plistlib.load(open(sys.argv[1], 'rb'))
real = plistlib.load(open(sys.argv[2], 'rb'))
def shapes(node, path, into):
    if isinstance(node, dict):
        for key, value in node.items():
            into.setdefault(path + '/' + key, set()).add(type(value).__name__)
            shapes(value, path + '/' + key, into)
    elif isinstance(node, list):
        for value in node:
            shapes(value, path + '[]', into)
    return into
real_shapes = shapes(real, '', {})
for path, kinds in sorted(shapes(ours, '', {}).items()):
    if path not in real_shapes or not kinds <= real_shapes[path]:
        print('unknown key or type:', path, kinds)
        sys.exit(1)
assert ours['AllDisks'][:4] == ['disk0', 'disk0s1', 'disk0s2', 'disk1'], ours['AllDisks']
assert 'Macintosh HD' in ours['VolumesFromDisks'], ours['VolumesFromDisks']
assert ours['WholeDisks'] == [e['DeviceIdentifier'] for e in ours['AllDisksAndPartitions']]
print('ok')
)")
                                 .string();
  const std::string sample = std::string(DORVANE_SOURCE_DIR) +
                             "/tests/data/real-samples/diskutil-list-plist-5-applesilicon-full.xml";
  const Outcome python =
      testing::RunProgram(mcom::FilePath("/usr/bin/python3"), {script, ours.string(), sample});
  EXPECT_EQ(python.status, 0) << python.out << python.err;
  EXPECT_EQ(python.out, "ok\n");
}

TEST_F(DiskutilTest, PropertyListOfOneDiskListsOnlyThatDisk) {
  // A volume names its container; a mount point names the disk of its volume.
  Outcome run = Diskutil({"list", "-plist", "disk1s5"});
  ASSERT_EQ(run.status, 0) << run.err;
  cf::Ref<cf::Dictionary> list = ParseList(run);
  ASSERT_TRUE(list);
  EXPECT_THAT(Strings(list->GetArray("WholeDisks")), ElementsAre("disk1"));
  const std::vector<std::string> all = Strings(list->GetArray("AllDisks"));
  EXPECT_EQ(all.front(), "disk1");
  EXPECT_EQ(all.size(), 1 + VolumesOfContainer(machine_.Read(), 1).size());

  const uint32_t disk = Plug("usb-hfs");
  run = Diskutil({"list", "-plist", root().Join("Volumes/USB HFS").string()});
  ASSERT_EQ(run.status, 0) << run.err;
  list = ParseList(run);
  ASSERT_TRUE(list);
  EXPECT_THAT(Strings(list->GetArray("WholeDisks")), ElementsAre("disk" + std::to_string(disk)));
  EXPECT_THAT(Strings(list->GetArray("VolumesFromDisks")), ElementsAre("USB HFS"));

  run = Diskutil({"list", "-plist", "disk9"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_EQ(run.err, "Could not find disk: disk9\n");
}

// ---- text listings --------------------------------------------------------------------

TEST_F(DiskutilTest, TextListKeepsTheColumnsOfTheRealOutput) {
  Plug("usb-hfs");
  const Outcome run = Diskutil({"list"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  int rows = 0;
  while (std::getline(lines, line)) {
    if (line.size() < 5 || line[4] != ':') continue;
    ++rows;
    // The identifier starts at column 68 on every row and the size at 57, as on the Mac.
    EXPECT_EQ(line.rfind(' ') + 1, 68u) << line;
    EXPECT_NE(line[57], ' ') << line;
  }
  EXPECT_GE(rows, 12);
  EXPECT_THAT(run.out, HasSubstr("/dev/disk0 (internal, physical):\n"));
  EXPECT_THAT(run.out, HasSubstr("/dev/disk1 (synthesized):\n"));
  EXPECT_THAT(run.out, HasSubstr("/dev/disk2 (external, physical):\n"));
  EXPECT_THAT(run.out, HasSubstr("                                 Physical Store disk0s2\n"));
  EXPECT_THAT(run.out, HasSubstr("Apple_APFS Container disk1         500.1 GB   disk0s2\n"));
}

TEST_F(DiskutilTest, InfoAllDescribesEveryDeviceAndApfsListEveryVolume) {
  const Outcome info = Diskutil({"info", "-all"});
  ASSERT_EQ(info.status, 0) << info.err;
  const Model model = machine_.Read();
  size_t devices = 0;
  for (const Disk& disk : model.disks) devices += 1 + disk.partitions.size();
  devices += model.containers.size() + model.volumes.size();
  size_t separators = 0;
  for (size_t at = info.out.find("**********\n"); at != std::string::npos;
       at = info.out.find("**********\n", at + 1)) {
    ++separators;
  }
  EXPECT_EQ(separators, devices);
  EXPECT_THAT(info.out, HasSubstr("   Device Identifier:         disk1s5\n"));
  EXPECT_THAT(info.out, HasSubstr("   Mount Point:               /\n"));
  EXPECT_THAT(info.out, HasSubstr("   Partition Offset:          209735680 Bytes (409640 "
                                  "512-Byte-Device-Blocks)\n"));

  const Outcome apfs = Diskutil({"apfs", "list"});
  ASSERT_EQ(apfs.status, 0) << apfs.err;
  EXPECT_THAT(apfs.out, StartsWith("APFS Containers (1 found)\n|\n+-- Container disk1 "));
  for (const Volume& volume : model.volumes) {
    EXPECT_THAT(apfs.out,
                HasSubstr("+-> Volume " + mcom::FormatDiskName(volume.disk) + " " + volume.uuid));
  }
  EXPECT_THAT(apfs.out, HasSubstr("APFS Volume Disk (Role):   disk1s5 (System)\n"));
}

// ---- command lines --------------------------------------------------------------------

TEST_F(DiskutilTest, UnknownCommandLinesFailWithUsage) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"eraseDisk", "JHFS+", "X", "disk2"},
           {"list", "-plist", "disk0", "disk1"},
           {"info"},
           {"unmountDisk"},
           {"unmountDisk", "force"},
           {"apfs"},
           {"apfs", "createContainer"},
           {"apfs", "deleteContainer", "disk1"},
       }) {
    const Outcome run = Diskutil(arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.out, IsEmpty()) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, ::testing::Not(IsEmpty())) << ::testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace sim
