#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kDmesg = "/sbin/dmesg";

// The lines of a run that must succeed.
std::vector<std::string> DmesgLines() {
  const testing::ProgramRun run = RunTool(kDmesg);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, IsEmpty());
  return testing::Lines(run.out);
}

TEST(DmesgTool, TellsOfTheMachinesKernelDisksAndMounts) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path(), "t2-mac");

  std::vector<std::string> lines = DmesgLines();
  ASSERT_FALSE(lines.empty());
  // Catalina's last updates kept the kernel of 10.15.6.
  EXPECT_THAT(lines[0], StartsWith("Darwin Kernel Version 19.6.0: "));
  const Model model = machine.Read();
  EXPECT_THAT(lines, Contains("IOPlatformExpertDevice: model " + model.facts.model));
  EXPECT_THAT(lines, Contains("AppleT2Controller: Apple T2 Controller attached"));
  for (const Disk& disk : model.disks) {
    EXPECT_THAT(lines,
                Contains(HasSubstr("IOBlockStorageDriver: " + mcom::FormatDiskName(disk.name()) +
                                   " " + disk.media_name)));
  }
  for (const Container& container : model.containers) {
    EXPECT_THAT(
        lines,
        Contains(StartsWith("nx_mount:1308: " + mcom::FormatDiskName(container.name()) + " ")));
  }
  EXPECT_THAT(lines, Contains("apfs_vfsop_mountroot:1468: apfs: mountroot called!"));

  // A disk plugged in, and a release of another year, show up in the next run.
  const uint32_t usb = testing::PlugTestMedium(machine, "usb-hfs");
  machine.Change([](Model& changed) {
    changed.facts.product_version = "11.3";
    changed.facts.has_t2 = false;
  });
  lines = DmesgLines();
  EXPECT_THAT(lines[0], StartsWith("Darwin Kernel Version 20.4.0: "));
  EXPECT_THAT(lines, Not(Contains(HasSubstr("T2"))));
  EXPECT_THAT(lines, Contains(HasSubstr("IOBlockStorageDriver: disk" + std::to_string(usb) + " ")));
  EXPECT_THAT(lines, Contains(HasSubstr("hfs: mounted USB HFS on device disk" +
                                        std::to_string(usb) + "s")));

  machine.Change([](Model& changed) { changed.facts.product_version = "14.2"; });
  EXPECT_THAT(DmesgLines()[0], StartsWith("Darwin Kernel Version 23.2.0: "));
}

TEST(DmesgTool, TakesNoArguments) {
  ::testing::TemporaryMachineRoot root;
  testing::MakeTestMachineWithTools(root.path());
  const testing::ProgramRun run = RunTool(kDmesg, {"-c"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, StartsWith("Usage: dmesg"));
}

}  // namespace
}  // namespace sim
