#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/machine/machine.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kMount = "/sbin/mount";

std::vector<std::string> MountLines() {
  const testing::ProgramRun run = RunTool(kMount);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, IsEmpty());
  return testing::Lines(run.out);
}

const Volume* VolumeNamed(const Model& model, const std::string& name) {
  for (const Volume& volume : model.volumes) {
    if (volume.name == name) return &volume;
  }
  return nullptr;
}

TEST(MountTool, ListsTheRunningSystemThenEveryMountedVolume) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path());
  const Model model = machine.Read();
  const Volume* system = RunningSystemVolume(model);
  const Volume* data = RunningDataVolume(model);
  ASSERT_NE(system, nullptr);
  ASSERT_NE(data, nullptr);

  // The running system at its Mac paths, read-only at "/", hidden at the Data path, with
  // the device file system right after the root.
  EXPECT_THAT(MountLines(),
              ElementsAre("/dev/" + mcom::FormatDiskName(system->disk) +
                              " on / (apfs, local, read-only, journaled)",
                          "devfs on /dev (devfs, local, nobrowse)",
                          "/dev/" + mcom::FormatDiskName(data->disk) +
                              " on /System/Volumes/Data (apfs, local, journaled, nobrowse)"));

  // An external volume is listed where its files are, as removable media.
  testing::PlugTestMedium(machine, "usb-hfs");
  const Model plugged = machine.Read();
  const Volume* usb = VolumeNamed(plugged, "USB HFS");
  ASSERT_NE(usb, nullptr);
  ASSERT_TRUE(usb->is_mounted());
  const std::string usb_line = "/dev/" + mcom::FormatDiskName(usb->disk) + " on " +
                               usb->mount_point +
                               " (hfs, local, nodev, nosuid, journaled, noowners)";
  std::vector<std::string> lines = MountLines();
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines, Contains(usb_line));
  EXPECT_THAT(usb->mount_point, StartsWith(root.path().string()));

  // Mounted again read-only and hidden, the flags follow; unmounted, it is gone.
  const mcom::DiskName usb_disk = usb->disk;
  ASSERT_TRUE(machine.Change([&](Model& changed) {
    return Unmount(machine.root(), changed, usb_disk).ok() &&
           Mount(machine.root(), changed, usb_disk,
                 {.path = std::nullopt, .read_only = true, .hidden = true})
               .ok();
  }));
  lines = MountLines();
  EXPECT_THAT(lines, Contains(AllOf(StartsWith("/dev/" + mcom::FormatDiskName(usb_disk) + " on "),
                                    HasSubstr("(hfs, local, nodev, nosuid, read-only, journaled, "
                                              "noowners, nobrowse)"))));
  ASSERT_TRUE(machine.Change(
      [&](Model& changed) { return Unmount(machine.root(), changed, usb_disk).ok(); }));
  EXPECT_THAT(MountLines(), Not(Contains(HasSubstr(mcom::FormatDiskName(usb_disk)))));
}

TEST(MountTool, TakesNoArguments) {
  ::testing::TemporaryMachineRoot root;
  testing::MakeTestMachineWithTools(root.path());
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-t", "apfs", "/dev/disk1s1", "/Volumes/x"}, {"-u", "/"}, {"/dev/disk1s1"}}) {
    const testing::ProgramRun run = RunTool(kMount, arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, StartsWith("Usage: mount"));
  }
}

}  // namespace
}  // namespace sim
