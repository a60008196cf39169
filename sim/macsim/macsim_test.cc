// Runs the built macsim as a user would.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/foundation/tool_run.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/recovery_image.h"
#include "sim/machine/system_files.h"
#include "sim/machine/volume_store.h"
#include "tests/support/temporary_folder.h"

namespace {

using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome RunMacsim(const std::vector<std::string>& arguments, const char* program = MACSIM_PATH) {
  const mcom::Result<mcom::ToolRun> run = mcom::RunCapturingBothStreams(program, arguments);
  EXPECT_TRUE(run.has_value()) << run.error().message();
  if (!run) return {};
  return Outcome{run->exit_status.value(),
                 std::string(run->standard_output.begin(), run->standard_output.end()),
                 std::string(run->standard_error.begin(), run->standard_error.end())};
}

TEST(Macsim, CreatePlugSetShowAndUnplug) {
  ::testing::TemporaryFolder folder;
  const std::string root = folder.Join("mac").string();
  const Outcome created = RunMacsim({"create", root, "--machine", "t2-mac", "--data-size", "64K"});
  ASSERT_EQ(created.status, 0) << created.err;

  const Outcome plugged = RunMacsim({"plug", root, "usb-hfs", "--data-size", "16K"});
  ASSERT_EQ(plugged.status, 0) << plugged.err;
  EXPECT_EQ(plugged.out, "disk2\n");
  EXPECT_EQ(RunMacsim({"set", root, "full-disk-access", "no"}).status, 0);
  EXPECT_EQ(RunMacsim({"set", root, "fault.hdiutil.attach", "fail"}).status, 0);

  const Outcome shown = RunMacsim({"show", root});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_THAT(shown.out, HasSubstr("model: Macmini8,1"));
  EXPECT_THAT(shown.out, HasSubstr("T2 controller: yes"));
  EXPECT_THAT(shown.out, HasSubstr("full disk access: no"));
  EXPECT_THAT(shown.out, HasSubstr("disk1s5 on / (apfs)"));
  EXPECT_THAT(shown.out, HasSubstr("disk1s1 on /System/Volumes/Data (apfs)"));
  EXPECT_THAT(shown.out, HasSubstr("plugged usb-hfs"));
  EXPECT_THAT(shown.out, HasSubstr("disk2s2 on " + root + "/Volumes/USB HFS (hfs)"));
  EXPECT_THAT(shown.out, HasSubstr("hdiutil.attach = fail"));

  const Outcome registry = RunMacsim({"registry", root});
  EXPECT_THAT(registry.out, StartsWith("<?xml"));
  EXPECT_THAT(registry.out, HasSubstr("<string>Apple T2 Controller</string>"));

  EXPECT_EQ(RunMacsim({"set", root, "fault.hdiutil.attach", ""}).status, 0);
  const Outcome unplugged = RunMacsim({"unplug", root, "disk2"});
  EXPECT_EQ(unplugged.status, 0) << unplugged.err;
  const sim::Model model = sim::Machine(mcom::FilePath(root)).Read();
  EXPECT_TRUE(model.faults.empty());
  EXPECT_EQ(model.disks.size(), 1u);
  EXPECT_FALSE(model.facts.full_disk_access);
  EXPECT_FALSE(std::filesystem::exists(root + "/Volumes/USB HFS"));
}

TEST(Macsim, ErrorsAreOneLineAndFail) {
  ::testing::TemporaryFolder folder;
  const std::string root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", root, "--data-size", "64K"}).status, 0);
  folder.WriteFile("used/file", "x");

  const auto expect_error = [](const std::vector<std::string>& arguments, const std::string& text) {
    const Outcome outcome = RunMacsim(arguments);
    EXPECT_NE(outcome.status, 0) << text;
    EXPECT_THAT(outcome.err, StartsWith("macsim: ")) << text;
    EXPECT_THAT(outcome.err, HasSubstr(text));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
  };
  expect_error({"create", folder.Join("used").string()}, "machine root is not empty");
  expect_error({"create", folder.Join("new").string(), "--machine", "amiga"},
               "no such fixture: amiga");
  expect_error({"create", folder.Join("new").string(), "--data-size", "lots"}, "not a size: lots");
  expect_error({"create", folder.Join("new").string(), "--machine", "usb-blank"},
               "is a medium to plug, not a machine");
  EXPECT_FALSE(std::filesystem::exists(folder.Join("new").string()));
  expect_error({"show", folder.Join("used").string()}, "not a machine root");
  expect_error({"show", folder.Join("missing").string()}, "not a machine root");
  expect_error({"plug", root, "floppy"}, "no such fixture: floppy");
  expect_error({"plug", root, "intel-mac"}, "is a machine, not a medium to plug");
  expect_error({"unplug", root, "disk9"}, "no such disk: disk9");
  expect_error({"unplug", root, "disk0"}, "disk0 was not plugged");
  expect_error({"unplug", root, "sda1"}, "not a disk name: sda1");
  expect_error({"set", root, "colour", "blue"}, "unknown setting: colour");
  expect_error({"set", root, "recovery-environment", "perhaps"}, "takes yes or no");
  expect_error({"create", root, "--machines", folder.Join("nowhere").string()},
               "no machine fixtures folder");

  const Outcome usage = RunMacsim({"frobnicate"});
  EXPECT_NE(usage.status, 0);
}

TEST(Macsim, InstallsTheToolsFromBesideItself) {
  ::testing::TemporaryFolder folder;
  // A copy of macsim with a stand-in simtool next to it.
  const std::string bin = folder.Join("bin").string();
  std::filesystem::create_directories(bin);
  std::filesystem::copy_file(MACSIM_PATH, bin + "/macsim");
  folder.WriteFile("bin/simtool", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(bin + "/simtool", std::filesystem::perms::owner_all);

  const std::string root = folder.Join("mac").string();
  const Outcome created = RunMacsim(
      {"create", root, "--data-size", "16K", "--machines", DORVANE_SOURCE_DIR "/sim/machines"},
      (bin + "/macsim").c_str());
  ASSERT_EQ(created.status, 0) << created.err;
  struct stat simtool {};
  ASSERT_EQ(::stat((bin + "/simtool").c_str(), &simtool), 0);
  for (const char* tool :
       {"/usr/bin/hdiutil", "/usr/sbin/diskutil", "/usr/sbin/asr", "/usr/sbin/bless",
        "/usr/sbin/ioreg", "/sbin/reboot", "/usr/bin/sw_vers"}) {
    struct stat installed {};
    ASSERT_EQ(::stat((root + tool).c_str(), &installed), 0) << tool;
    EXPECT_EQ(installed.st_ino, simtool.st_ino) << tool << " is a hard link";
  }
  // Without a simtool beside it, macsim installs nothing and still succeeds.
  std::filesystem::remove(bin + "/simtool");
  const std::string bare = folder.Join("bare").string();
  ASSERT_EQ(RunMacsim({"create", bare, "--data-size", "16K", "--machines",
                       DORVANE_SOURCE_DIR "/sim/machines"},
                      (bin + "/macsim").c_str())
                .status,
            0);
  EXPECT_FALSE(std::filesystem::exists(bare + "/usr/bin/hdiutil"));
}

// The build's application bundle goes into the machine whole; what is no bundle is refused.
TEST(Macsim, InstallsTheApplicationBundle) {
  ::testing::TemporaryFolder folder;
  const std::string root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", root, "--data-size", "16K"}).status, 0);
  const Outcome installed = RunMacsim({"install", root, DORVANE_BUNDLE_PATH});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(installed.out, "/Applications/Dorvane.app\n");
  for (const char* file :
       {"Contents/Info.plist", "Contents/MacOS/Dorvane", "Contents/MacOS/dorvane",
        "Contents/Library/LaunchServices/com.halvex-software.Dorvane.helper"}) {
    EXPECT_EQ(
        ::testing::TemporaryFolder::ReadFile(
            mcom::FilePath(root + "/Applications/Dorvane.app/").Join(file)),
        ::testing::TemporaryFolder::ReadFile(mcom::FilePath(DORVANE_BUNDLE_PATH "/").Join(file)))
        << file;
  }
  const Outcome refused = RunMacsim({"install", root, folder.Join("mac").string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.err, ::testing::HasSubstr("is no application bundle"));
}

// Two plugs of one medium hold the same generated files; a backup restored faithfully holds
// the same files as its original, and `compare` is how scripts check that.
TEST(Macsim, CompareTellsIdenticalVolumesFromDifferentOnes) {
  ::testing::TemporaryFolder folder;
  const std::string root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", root, "--data-size", "64K"}).status, 0);
  ASSERT_EQ(RunMacsim({"plug", root, "usb-apfs", "--data-size", "16K"}).out, "disk2\n");
  ASSERT_EQ(RunMacsim({"plug", root, "usb-apfs", "--data-size", "16K"}).out, "disk4\n");

  Outcome compared = RunMacsim({"compare", root, "disk3", "disk5"});
  EXPECT_EQ(compared.status, 0) << compared.out << compared.err;
  EXPECT_THAT(compared.out,
              MatchesRegex("disk3s1 \\(USB APFS\\) = disk5s1 \\(USB APFS\\): identical, "
                           "[1-9][0-9]* files\n"));
  EXPECT_EQ(compared.err, "");
  compared = RunMacsim({"compare", root, "/dev/disk3s1", "disk5s1", "--atime"});
  EXPECT_EQ(compared.status, 0) << compared.out << compared.err;

  // A file of the second one grows.
  const sim::Model model = sim::Machine(mcom::FilePath(root)).Read();
  const mcom::FilePath files = sim::VolumeFilesPath(mcom::FilePath(root), model.volumes.back());
  ASSERT_EQ(mcom::FormatDiskName(model.volumes.back().disk), "disk5s1");
  std::string changed;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(files.string())) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      changed = entry.path().lexically_relative(files.string()).string();
      break;
    }
  }
  ASSERT_FALSE(changed.empty());
  std::ofstream(files.Join(changed).string(), std::ios::app) << "more";
  compared = RunMacsim({"compare", root, "disk3", "disk5"});
  EXPECT_EQ(compared.status, 1) << compared.err;
  EXPECT_THAT(compared.out,
              StartsWith("disk3s1 (USB APFS) != disk5s1 (USB APFS): 2 differences\n"));
  EXPECT_THAT(compared.out, HasSubstr("\n  " + changed + ": size "));
  EXPECT_THAT(compared.out, HasSubstr("\n  " + changed + ": modified "));

  // Containers with other volumes: every volume of the machine's own container is unpaired.
  compared = RunMacsim({"compare", root, "disk1", "disk3"});
  EXPECT_EQ(compared.status, 1) << compared.err;
  EXPECT_THAT(compared.out, HasSubstr("disk1s1 (Macintosh HD - Data): only in disk1\n"));
  EXPECT_THAT(compared.out, HasSubstr("disk3s1 (USB APFS): only in disk3\n"));
  EXPECT_THAT(compared.out, Not(ContainsRegex(" = |!=")));
}

TEST(Macsim, CompareRefusesWhatItCannotCompareWithStatus64) {
  ::testing::TemporaryFolder folder;
  const std::string root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", root, "--data-size", "16K"}).status, 0);
  const auto expect_refusal = [](const std::vector<std::string>& arguments,
                                 const std::string& text) {
    const Outcome outcome = RunMacsim(arguments);
    EXPECT_EQ(outcome.status, 64) << text;
    EXPECT_EQ(outcome.out, "") << text;
    EXPECT_THAT(outcome.err, StartsWith("macsim: ")) << text;
    EXPECT_THAT(outcome.err, HasSubstr(text));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
  };
  expect_refusal({"compare", folder.Join("missing").string(), "disk1", "disk1"},
                 "not a machine root");
  expect_refusal({"compare", "", "disk1", "disk1"}, "the machine root is empty");
  expect_refusal({"compare", root, "sda1", "disk1"}, "not a disk name: sda1");
  expect_refusal({"compare", root, "disk1", "disk9"}, "no such disk: disk9");
  expect_refusal({"compare", root, "disk0", "disk1"},
                 "disk0 is neither a volume nor an APFS container");
  expect_refusal({"compare", root, "disk1s1", "disk1"},
                 "disk1s1 is a volume but disk1 is an APFS container");
}

// A recovery disk laid out as the recovery builder leaves it, on a plugged blank disk: a
// Recovery partition whose boot folder holds the Base System image with `app` first in its
// Utilities list.
struct RecoveryDisk {
  std::string root;
  std::string folder;  // the boot folder, a host path

  void Run(const std::string& tool, const std::vector<std::string>& arguments) const {
    const Outcome run = RunMacsim(arguments, (root + tool).c_str());
    ASSERT_EQ(run.status, 0) << tool << ": " << run.err;
  }

  void Partition() const {
    Run("/usr/sbin/diskutil", {"partitionDisk", "disk2", "2", "GPT", "jhfs+", "Recovery", "800M",
                               "jhfs+", "User Data", "R"});
  }

  void WriteBootFolder(const std::string& scratch) {
    folder = root + "/Volumes/Recovery/com.halvex-software.recovery";
    std::filesystem::create_directories(folder);
    const mcom::FilePath tree(scratch);
    std::filesystem::create_directories(scratch);
    sim::WriteBaseSystemTree(tree, sim::Facts{});
    std::filesystem::create_directories(scratch + "/Applications/Dorvane.app/Contents");
    std::ofstream(scratch + "/Applications/Dorvane.app/Contents/Info.plist") << "<plist/>";
    std::ofstream(scratch + "/" + kUtilities) << Plist(
        "<key>Buttons</key><array><dict><key>BundlePath</key>"
        "<string>/Applications/Dorvane.app</string></dict></array>");
    sim::WriteRecoveryImage(mcom::FilePath(folder + "/BaseSystem.dmg"), tree);
    std::ofstream(folder + "/boot.efi") << "efi";
    std::ofstream(folder + "/prelinkedkernel") << "kernel";
  }

  void WriteBootPlist(const std::string& image) const {
    std::ofstream(folder + "/com.apple.Boot.plist")
        << Plist("<key>Kernel Flags</key><string>rp=file:///com.halvex-software.recovery/" + image +
                 "</string><key>Kernel Cache</key>"
                 "<string>\\com.halvex-software.recovery\\prelinkedkernel</string>");
  }

  static constexpr char kUtilities[] =
      "System/Installation/CDIS/macOS Utilities.app/Contents/Resources/Utilities.plist";

  static std::string Plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
           "</dict></plist>\n";
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(MacsimBoot, StartsFromABootFolderAndBackFromTheBlessedSystem) {
  ::testing::TemporaryFolder folder;
  RecoveryDisk disk;
  disk.root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", disk.root, "--data-size", "16K"}).status, 0);
  ASSERT_EQ(RunMacsim({"plug", disk.root, "usb-blank"}).out, "disk2\n");
  disk.Partition();
  disk.WriteBootFolder(folder.Join("tree").string());
  disk.WriteBootPlist("Missing.dmg");
  const sim::Machine machine{mcom::FilePath(disk.root)};
  const sim::Model before = machine.Read();

  const auto expect_refused = [&](const std::string& reason) {
    const Outcome boot = RunMacsim({"boot", disk.root, "--from", "disk2"});
    EXPECT_EQ(boot.status, 1);
    EXPECT_THAT(boot.err, AllOf(HasSubstr(reason), Not(HasSubstr("\n\n"))));
    const sim::Model after = machine.Read();
    EXPECT_EQ(after.running_system, before.running_system);
    EXPECT_FALSE(after.facts.recovery_environment);
    EXPECT_EQ(after.disks.size(), before.disks.size());
  };
  expect_refused("disk2 holds no blessed boot folder");
  disk.Run("/usr/sbin/bless", {"--folder", disk.folder, "--bootefi", disk.folder + "/boot.efi"});
  expect_refused("points at /com.halvex-software.recovery/Missing.dmg, which is not on disk2");
  disk.WriteBootPlist("BaseSystem.dmg");
  std::filesystem::remove(disk.folder + "/boot.efi");
  expect_refused("holds no blessed boot.efi");
  std::ofstream(disk.folder + "/boot.efi") << "efi";
  // The builder leaves the Recovery volume unmounted; the firmware finds the folder anyway.
  disk.Run("/usr/sbin/diskutil", {"unmountDisk", "disk2"});
  const std::string first_app = "/Applications/First.app";
  std::filesystem::create_directories(disk.root + first_app);

  const Outcome started = RunMacsim({"boot", disk.root, "--from", "disk2"});
  ASSERT_EQ(started.status, 0) << started.err;
  EXPECT_THAT(started.out, HasSubstr("macOS Base System"));
  const sim::Model recovery = machine.Read();
  EXPECT_TRUE(recovery.facts.recovery_environment);
  const sim::Volume* base = sim::FindVolumeByUUID(recovery, recovery.running_system);
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(sim::FindDisk(recovery, base->disk.disk)->kind, sim::DiskKind::kImage);
  EXPECT_EQ(ReadFile(disk.root + "/private/var/db/macsim/facts/recovery-environment"), "yes\n");
  // The app is where the Utilities list says, below the new "/"; the first system is away.
  const std::string utilities = ReadFile(disk.root + "/" + RecoveryDisk::kUtilities);
  EXPECT_THAT(utilities, HasSubstr("<string>/Applications/Dorvane.app</string>"));
  EXPECT_TRUE(std::filesystem::exists(disk.root + "/Applications/Dorvane.app/Contents/Info.plist"));
  EXPECT_FALSE(std::filesystem::exists(disk.root + first_app));
  EXPECT_TRUE(std::filesystem::exists(disk.root + "/usr/sbin/diskutil"));

  // Back to the system of the blessed Preboot volume: the image goes, the first view returns.
  std::string preboot;
  for (const sim::Volume& volume : recovery.volumes) {
    if (volume.HasRole("Preboot")) preboot = mcom::FormatDiskName(volume.disk);
  }
  disk.Run("/usr/sbin/bless", {"--device", "/dev/" + preboot, "--setBoot"});
  disk.Run("/sbin/reboot", {});
  const Outcome back = RunMacsim({"boot", disk.root});
  ASSERT_EQ(back.status, 0) << back.err;
  const sim::Model after = machine.Read();
  EXPECT_EQ(after.running_system, before.running_system);
  EXPECT_FALSE(after.facts.recovery_environment);
  EXPECT_FALSE(after.boot.restart_requested);
  EXPECT_EQ(after.disks.size(), before.disks.size());
  EXPECT_TRUE(std::filesystem::exists(disk.root + first_app));
  EXPECT_FALSE(std::filesystem::exists(disk.root + "/Applications/Dorvane.app"));
  EXPECT_FALSE(std::filesystem::exists(disk.root + "/" + RecoveryDisk::kUtilities));
}

TEST(MacsimBoot, StartsAT2MacFromItsRecoveryPartitionOnly) {
  ::testing::TemporaryFolder folder;
  RecoveryDisk disk;
  disk.root = folder.Join("mac").string();
  ASSERT_EQ(RunMacsim({"create", disk.root, "--machine", "t2-mac", "--data-size", "16K"}).status,
            0);
  ASSERT_EQ(RunMacsim({"plug", disk.root, "usb-blank"}).out, "disk2\n");
  const Outcome blank = RunMacsim({"boot", disk.root, "--from", "disk2"});
  EXPECT_EQ(blank.status, 1);
  EXPECT_THAT(blank.err, HasSubstr("disk2 has no Recovery partition holding a Base System volume"));
  disk.Partition();
  EXPECT_EQ(RunMacsim({"boot", disk.root, "--from", "disk2"}).status, 1);
  EXPECT_FALSE(sim::Machine(mcom::FilePath(disk.root)).Read().facts.recovery_environment);

  sim::WriteBaseSystemTree(mcom::FilePath(disk.root + "/Volumes/Recovery"), sim::Facts{});
  const Outcome started = RunMacsim({"boot", disk.root, "--from", "disk2"});
  ASSERT_EQ(started.status, 0) << started.err;
  const sim::Model model = sim::Machine(mcom::FilePath(disk.root)).Read();
  EXPECT_TRUE(model.facts.recovery_environment);
  EXPECT_EQ(mcom::FormatDiskName(sim::FindVolumeByUUID(model, model.running_system)->disk),
            "disk2s2");
  EXPECT_TRUE(std::filesystem::exists(disk.root + "/" + RecoveryDisk::kUtilities));
  EXPECT_FALSE(std::filesystem::exists(disk.root + "/Volumes/Recovery"));
}

}  // namespace
