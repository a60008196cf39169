#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kBless = "/usr/sbin/bless";

std::string RealPath(const mcom::FilePath& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// A machine with a USB disk plugged in (its HFS+ volume mounted under ROOT/Volumes) holding
// a boot folder as the recovery-disk builder leaves it.
class BlessTest : public ::testing::Test {
 protected:
  BlessTest() : machine_(testing::MakeTestMachineWithTools(root_.path())) {
    testing::PlugTestMedium(machine_, "usb-hfs");
    for (const Volume& volume : machine_.Read().volumes) {
      if (volume.file_system == "hfs" && volume.is_mounted()) {
        mount_point_ = mcom::FilePath(volume.mount_point);
      }
    }
    folder_ = mount_point_.Join("com.halvex-software.recovery");
    std::filesystem::create_directory(folder_.string());
    boot_efi_ = folder_.Join("boot.efi");
    std::ofstream(boot_efi_.string()) << "EFI";
  }

  // The boot settings stay as they were after a refused request.
  void ExpectNothingRecorded() {
    const Boot boot = machine_.Read().boot;
    EXPECT_THAT(boot.folder, IsEmpty());
    EXPECT_THAT(boot.boot_efi, IsEmpty());
    EXPECT_THAT(boot.device, IsEmpty());
  }

  void ExpectRefused(const std::vector<std::string>& arguments, const std::string& reason) {
    const testing::ProgramRun run = RunTool(kBless, arguments);
    EXPECT_NE(run.status, 0) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, HasSubstr(reason)) << ::testing::PrintToString(arguments);
    ExpectNothingRecorded();
  }

  std::string DeviceOf(std::string_view role) {
    for (const Volume& volume : machine_.Read().volumes) {
      if (volume.HasRole(role)) return "/dev/" + mcom::FormatDiskName(volume.disk);
    }
    return "";
  }

  ::testing::TemporaryMachineRoot root_;
  Machine machine_;
  mcom::FilePath mount_point_;
  mcom::FilePath folder_;
  mcom::FilePath boot_efi_;
};

TEST_F(BlessTest, RecordsTheBootFolderAndItsLoader) {
  ASSERT_FALSE(mount_point_.empty());
  const testing::ProgramRun run =
      RunTool(kBless, {"--folder", folder_.string(), "--bootefi", boot_efi_.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, IsEmpty());
  const Boot boot = machine_.Read().boot;
  EXPECT_EQ(boot.folder, RealPath(folder_));
  EXPECT_EQ(boot.boot_efi, RealPath(boot_efi_));
  EXPECT_THAT(boot.device, IsEmpty());
  EXPECT_FALSE(boot.restart_requested);

  // The options may come in the other order; the folder's volume root itself is on it too.
  EXPECT_EQ(
      RunTool(kBless, {"--bootefi", boot_efi_.string(), "--folder", mount_point_.string()}).status,
      0);
  EXPECT_EQ(machine_.Read().boot.folder, RealPath(mount_point_));
}

TEST_F(BlessTest, RefusesFoldersAndLoadersThatAreNotThere) {
  const std::string efi = boot_efi_.string();
  ExpectRefused({"--folder", folder_.Join("missing").string(), "--bootefi", efi},
                "No such file or directory");
  ExpectRefused({"--folder", efi, "--bootefi", efi}, "is not a directory");
  ExpectRefused({"--folder", folder_.string(), "--bootefi", folder_.Join("none.efi").string()},
                "No such file or directory");
  ExpectRefused({"--folder", folder_.string(), "--bootefi", folder_.string()}, "is not a file");

  // A folder of the machine root is on no mounted volume, and neither is a folder of a
  // volume once it is unmounted.
  const mcom::FilePath loose = root_.Join("private/tmp/boot");
  std::filesystem::create_directory(loose.string());
  ExpectRefused({"--folder", loose.string(), "--bootefi", efi}, "is not on a mounted volume");
  ExpectRefused({"--folder", root_.path().string(), "--bootefi", efi},
                "is not on a mounted volume");
  const mcom::FilePath lookalike = root_.Join("Volumes/USB HFS copy");
  std::filesystem::create_directory(lookalike.string());
  ExpectRefused({"--folder", lookalike.string(), "--bootefi", efi}, "is not on a mounted volume");
}

TEST_F(BlessTest, RecordsTheStartUpVolumeOrPartition) {
  const std::string preboot = DeviceOf("Preboot");
  ASSERT_THAT(preboot, StartsWith("/dev/disk"));
  const testing::ProgramRun run = RunTool(kBless, {"--device", preboot, "--setBoot"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_EQ(machine_.Read().boot.device, preboot.substr(5));
  EXPECT_THAT(machine_.Read().boot.folder, IsEmpty());

  // A partition of a physical disk (the internal disk's EFI partition) qualifies too.
  EXPECT_EQ(RunTool(kBless, {"--setBoot", "--device", "/dev/disk0s1"}).status, 0);
  EXPECT_EQ(machine_.Read().boot.device, "disk0s1");
}

TEST_F(BlessTest, RefusesDevicesThatAreNoVolumeOrPartition) {
  ExpectRefused({"--device", "/dev/disk0", "--setBoot"}, "is a whole disk");
  ExpectRefused({"--device", "/dev/disk1", "--setBoot"}, "is a whole disk");
  ExpectRefused({"--device", "/dev/disk9s1", "--setBoot"}, "no such device");
  ExpectRefused({"--device", "/dev/disk0s9", "--setBoot"}, "no such device");
  ExpectRefused({"--device", "/dev/not-a-disk", "--setBoot"}, "no such device");
  ExpectRefused({"--device", DeviceOf("Preboot").substr(5), "--setBoot"}, "not a device path");
}

TEST_F(BlessTest, RefusesEveryOtherCommandLine) {
  const std::string folder = folder_.string();
  const std::string efi = boot_efi_.string();
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"--folder", folder},
           {"--bootefi", efi},
           {"--folder", folder, "--bootefi"},
           {"--folder", folder, "--bootefi", efi, "--setBoot"},
           {"--folder", folder, "--folder", folder, "--bootefi", efi},
           {"--device", "/dev/disk0s1"},
           {"--setBoot"},
           {"--device", "/dev/disk0s1", "--setBoot", "--verbose"},
           {"--device", "", "--setBoot"},
           {"--info"},
           {"/dev/disk0s1"},
       }) {
    const testing::ProgramRun run = RunTool(kBless, arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, StartsWith("Usage: bless")) << ::testing::PrintToString(arguments);
    ExpectNothingRecorded();
  }
}

TEST_F(BlessTest, FailsWhereTheFaultHooksSaySo) {
  machine_.Change([](Model& model) {
    model.faults["bless.folder"] = "fail-at-start;status=3;message=the firmware said no";
    model.faults["bless.device"] = "fail";
  });
  testing::ProgramRun run =
      RunTool(kBless, {"--folder", folder_.string(), "--bootefi", boot_efi_.string()});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "bless: the firmware said no\n");
  run = RunTool(kBless, {"--device", "/dev/disk0s1", "--setBoot"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, StartsWith("bless: Can't set boot device /dev/disk0s1"));
  ExpectNothingRecorded();

  // Before the start, the form decides the hook even for a command line it would refuse.
  machine_.Change([](Model& model) { model.faults["bless.device"] = "fail-before-start"; });
  run = RunTool(kBless, {"--device"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "bless: Can't set boot device\n");

  // At exit the setting is recorded, and yet the tool fails.
  machine_.Change([](Model& model) { model.faults["bless.device"] = "fail-at-exit;status=2"; });
  run = RunTool(kBless, {"--device", "/dev/disk0s1", "--setBoot"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "bless: Can't set boot device /dev/disk0s1\n");
  EXPECT_EQ(machine_.Read().boot.device, "disk0s1");
}

}  // namespace
}  // namespace sim
