#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/discovery/mount_approval.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/error_category.h"
#include "core/foundation/property_list.h"
#include "core/foundation/tool_run.h"
#include "helper/recovery_media/boot_files.h"
#include "helper/recovery_media/build_recovery.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace {

namespace cf = mcom::cf;
namespace da = mcom::disk_arbitration;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class RecoveryMediaTest : public ::testing::Test {
 protected:
  void MakeMachine(const std::string& fixture) {
    machine_.emplace(sim::testing::MakeTestMachineWithTools(root_.path(), fixture));
    target_ = sim::testing::PlugTestMedium(*machine_, "usb-blank");
    sim::signature::testing::TestBundle contents;
    contents.program = mcom::FilePath(::testing::TestBinary());
    contents.identifier = "com.halvex-software.Dorvane";
    contents.helper = mcom::FilePath(UNSIGNED_HELPER_PATH);
    contents.helper_identity =
        sim::signature::TestSigningIdentity(sim::signature::TestIdentity::kMakerDeveloperID);
    bundle_ = folder_.Join("Dorvane.app");
    sim::signature::testing::WriteTestBundle(bundle_, contents);
    source_image_ = RecoveryFolder() / "BaseSystem.dmg";
    source_bytes_ = ReadBytes(source_image_);
  }

  void SetFault(const std::string& key, const std::string& value) {
    machine_->Change([&](sim::Model& model) { sim::ApplySetting(model, "fault." + key, value); });
  }

  // The machine's own recovery folder, where its files are stored.
  fs::path RecoveryFolder() {
    const sim::Model model = machine_->Read();
    for (const sim::Volume& volume : model.volumes) {
      if (!volume.HasRole("Recovery")) continue;
      for (const auto& entry :
           fs::directory_iterator(sim::VolumeFilesPath(root_.path(), volume).string())) {
        if (fs::exists(entry.path() / "BaseSystem.dmg")) return entry.path();
      }
    }
    throw std::runtime_error("no recovery folder");
  }

  std::optional<Error> Build(bool t2, mcom::DiskName target) {
    return recovery_media_internal::BuildRecoveryWithBundle(
        target, bundle_, /*kind=*/true, t2, [this](RecoveryProgress update) {
          if (const double* fraction = std::get_if<double>(&update)) {
            fractions_.push_back(*fraction);
            if (progress_.empty() || progress_.back() != "fraction")
              progress_.push_back("fraction");
          } else {
            steps_.push_back(std::string(std::get<std::string_view>(update)));
            progress_.push_back("title");
          }
        });
  }
  std::optional<Error> Build(bool t2) { return Build(t2, mcom::DiskName{target_}); }

  // The partitions of the target: name and size.
  std::vector<std::pair<std::string, uint64_t>> Layout() {
    const sim::Model model = machine_->Read();
    std::vector<std::pair<std::string, uint64_t>> layout;
    for (const sim::Partition& partition : sim::FindDisk(model, target_)->partitions) {
      layout.emplace_back(partition.name, partition.size);
    }
    return layout;
  }

  // The files of the target's volume named "Recovery".
  fs::path RecoveryPartitionFiles() {
    const sim::Model model = machine_->Read();
    for (const sim::Volume& volume : model.volumes) {
      if (volume.disk.disk == target_ && volume.disk.slice == 2) {
        return sim::VolumeFilesPath(root_.path(), volume).string();
      }
    }
    throw std::runtime_error("no Recovery volume on the target");
  }

  // What a person starting the recovery disk would see: the application first in the
  // Utilities menu, and its bundle in the Applications folder.
  void ExpectApplicationIn(const fs::path& base_system) {
    const cf::Ref<cf::Dictionary> list = cf::As<cf::Dictionary>(cf::PropertyListFromFile(
        mcom::FilePath((base_system / "System/Installation/CDIS/macOS Utilities.app/Contents/"
                                      "Resources/Utilities.plist")
                           .string())));
    ASSERT_TRUE(list);
    const cf::Ref<cf::Array> buttons = list->GetArray("Buttons");
    ASSERT_TRUE(buttons);
    ASSERT_EQ(buttons->Count(), 4u);
    const cf::Ref<cf::Dictionary> first = buttons->Get<cf::Dictionary>(0);
    EXPECT_EQ(first->GetString("TitleKey"), "Halvex Backup and Recovery");
    EXPECT_EQ(first->GetString("BundlePath"), "/Applications/Dorvane.app");
    EXPECT_EQ(first->GetString("Path"), "/Applications/Dorvane.app/Contents/MacOS/Dorvane");
    EXPECT_EQ(first->GetString("DescriptionKey"), "");
    EXPECT_EQ(buttons->Get<cf::Dictionary>(1)->GetString("TitleKey"), "Reinstall macOS");
    EXPECT_EQ(ReadBytes(base_system / "Applications/Dorvane.app/Contents/MacOS/Dorvane"),
              ReadBytes((bundle_.string() + "/Contents/MacOS/Dorvane")));
  }

  ::testing::TemporaryMachineRoot root_;
  ::testing::TemporaryFolder folder_;
  std::optional<sim::Machine> machine_;
  uint32_t target_ = 0;
  mcom::FilePath bundle_;
  fs::path source_image_;
  std::string source_bytes_;
  std::vector<std::string> steps_;
  std::vector<double> fractions_;
  std::vector<std::string> progress_;  // "title" and runs of fractions, in order
};

TEST_F(RecoveryMediaTest, WithoutT2TheRecoveryPartitionHoldsABlessedBootFolder) {
  MakeMachine("intel-mac");
  ASSERT_EQ(Build(/*t2=*/false), std::nullopt);

  const auto layout = Layout();
  ASSERT_EQ(layout.size(), 3u);
  EXPECT_EQ(layout[1].first, "Recovery");
  EXPECT_EQ(layout[1].second / 1'000'000, 800u);
  EXPECT_EQ(layout[2].first, "User Data");

  const fs::path boot = RecoveryPartitionFiles() / kRecoveryBootFolder;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(boot)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names,
              ElementsAre("BaseSystem.dmg", "boot.efi", "com.apple.Boot.plist", "prelinkedkernel"));
  EXPECT_EQ(ReadBytes(boot / "boot.efi"), ReadBytes(RecoveryFolder() / "boot.efi"));
  EXPECT_EQ(ReadBytes(boot / "prelinkedkernel"), ReadBytes(RecoveryFolder() / "prelinkedkernel"));

  const cf::Ref<cf::Dictionary> configuration = cf::As<cf::Dictionary>(
      cf::PropertyListFromFile(mcom::FilePath((boot / "com.apple.Boot.plist").string())));
  ASSERT_TRUE(configuration);
  EXPECT_EQ(configuration->Count(), 2u);
  EXPECT_EQ(configuration->GetString("Kernel Flags"),
            "rp=file:///com.halvex-software.recovery/BaseSystem.dmg");
  EXPECT_EQ(configuration->GetString("Kernel Cache"),
            "\\com.halvex-software.recovery\\prelinkedkernel");

  const sim::Model model = machine_->Read();
  EXPECT_THAT(model.boot.boot_efi, HasSubstr("com.halvex-software.recovery/boot.efi"));

  // The made image, attached read-only as a person would look into it.
  ::testing::TemporaryFolder mount_point;
  const mcom::Result<mcom::ToolRun> attach = mcom::RunCapturingBothStreams(
      "/usr/bin/hdiutil", {"attach", "-readonly", "-nobrowse", "-mountpoint",
                           mount_point.path().string(), (boot / "BaseSystem.dmg").string()});
  ASSERT_TRUE(attach);
  ASSERT_FALSE(attach->exit_status) << mcom::ToolText(attach->standard_error);
  ExpectApplicationIn(mount_point.path().string());
  const mcom::Result<mcom::ToolRun> detach =
      mcom::RunCapturingStandardError("/usr/bin/hdiutil", {"detach", mount_point.path().string()},
                                      mcom::ErrorReadFailure::kKeepText);
  ASSERT_TRUE(detach);
  EXPECT_FALSE(detach->exit_status);

  EXPECT_THAT(steps_, ElementsAre("Customize Base System image", "Compress Base System image"));
  EXPECT_THAT(progress_, ElementsAre("title", "title", "fraction"));
  ASSERT_FALSE(fractions_.empty());
  EXPECT_TRUE(std::is_sorted(fractions_.begin(), fractions_.end()));
  EXPECT_DOUBLE_EQ(fractions_.back(), 1.0);
  EXPECT_TRUE(ReadBytes(source_image_) == source_bytes_) << "the source image changed";
}

TEST_F(RecoveryMediaTest, WithT2TheRecoveryPartitionIsTheCustomisedBaseSystem) {
  MakeMachine("t2-mac");
  ASSERT_EQ(Build(/*t2=*/true), std::nullopt);
  const auto layout = Layout();
  ASSERT_EQ(layout.size(), 3u);
  EXPECT_EQ(layout[1].first, "Recovery");
  EXPECT_EQ(layout[1].second / 1'000'000, 2200u);

  const fs::path volume = RecoveryPartitionFiles();
  EXPECT_FALSE(fs::exists(volume / kRecoveryBootFolder));
  EXPECT_TRUE(fs::exists(volume / "System/Library/CoreServices/SystemVersion.plist"));
  ExpectApplicationIn(volume);
  EXPECT_TRUE(steps_.empty());
  EXPECT_THAT(progress_, ElementsAre("fraction"));
  EXPECT_DOUBLE_EQ(fractions_.back(), 1.0);
  EXPECT_TRUE(ReadBytes(source_image_) == source_bytes_) << "the source image changed";

  // Started from the new disk, the builder keeps the disk it runs from (a Base System without
  // a container), and finds no recovery system of its own to put on the internal disk.
  const ::testing::ChildRun boot = ::testing::RunCapturing(
      MACSIM_PATH, {"boot", root_.path().string(), "--from", "disk" + std::to_string(target_)});
  ASSERT_FALSE(boot.status) << boot.error;
  std::optional<Error> refused = Build(true);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message(), "disk" + std::to_string(target_) + " holds the running system");
  refused = Build(true, mcom::DiskName{0});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message(), std::generic_category().message(ENOENT));
  EXPECT_EQ(Layout(), layout);
}

TEST_F(RecoveryMediaTest, FailuresOfTheBuildReportTheFailingStepsCode) {
  MakeMachine("intel-mac");
  const auto expect_failure = [this](const std::string& message) {
    const std::optional<Error> failure = Build(false);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->operation(), "BuildRecovery");
    EXPECT_EQ(failure->message(), message);
  };
  const auto text = [](int code) { return std::system_category().message(code); };

  SetFault("diskutil.partitionDisk", "fail;status=5");
  expect_failure(text(5));
  SetFault("diskutil.partitionDisk", "");

  SetFault("hdiutil.attach", "fail;status=16");
  expect_failure(text(16));
  SetFault("hdiutil.attach", "");

  SetFault("hdiutil.convert", "fail-after-percent:40;status=28");
  expect_failure(text(28));
  SetFault("hdiutil.convert", "");

  SetFault("bless.folder", "fail;status=1");
  expect_failure(text(1));
  SetFault("bless.folder", "");

  {
    // A Recovery partition nobody may mount.
    const da::Session approvals(dispatch::CreateQueue("com.halvex-software.test.approvals"));
    const da::MountApproval refuse =
        da::MountApproval::RegisterBlocker(approvals, "disk" + std::to_string(target_));
    expect_failure(std::generic_category().message(EBUSY));
  }

  // Without the kernel cache the build fails after the image was written.
  fs::remove(RecoveryFolder() / "prelinkedkernel");
  expect_failure(std::generic_category().message(ENOENT));
  EXPECT_TRUE(fs::exists(RecoveryPartitionFiles() / kRecoveryBootFolder / "BaseSystem.dmg"));

  // A copy of the application whose signature does not hold.
  {
    std::ofstream(bundle_.string() + "/Contents/MacOS/Dorvane", std::ios::app) << "changed";
    const std::optional<Error> failure = Build(false);
    ASSERT_TRUE(failure.has_value());
    EXPECT_THAT(failure->message(), HasSubstr("signed"));
  }

  // Without a recovery system nothing is erased.
  fs::remove(RecoveryFolder() / "BaseSystem.dmg");
  const auto before = Layout();
  expect_failure(std::generic_category().message(ENOENT));
  EXPECT_EQ(Layout(), before);
}

TEST_F(RecoveryMediaTest, DisksThatMustNotBeErasedAreRefusedBeforeAnythingChanges) {
  MakeMachine("intel-mac");
  const uint32_t hfs = sim::testing::PlugTestMedium(*machine_, "usb-hfs");
  const auto mounted = [this, hfs] {
    const sim::Model model = machine_->Read();
    for (const sim::Volume& volume : model.volumes) {
      if (volume.disk.disk == hfs && volume.is_mounted()) return true;
    }
    return false;
  };
  ASSERT_TRUE(mounted());
  const auto refusal = [this](mcom::DiskName disk) {
    const std::optional<Error> failure = Build(false, disk);
    EXPECT_TRUE(failure.has_value());
    return failure ? failure->operation() + ": " + failure->message() : std::string();
  };
  EXPECT_EQ(refusal(mcom::DiskName{0}), "BuildRecovery: disk0 holds the running system");
  EXPECT_THAT(refusal(mcom::DiskName{hfs, 1}),
              HasSubstr("disk" + std::to_string(hfs) + "s1 is not a whole disk"));
  EXPECT_THAT(refusal(mcom::DiskName{1}), HasSubstr("disk1 is not a whole disk"));
  EXPECT_EQ(refusal(mcom::DiskName{40}), "BuildRecovery: this Mac has no disk disk40");
  EXPECT_TRUE(mounted()) << "a refused build unmounted the disk";

  // A recovery system found on an Apple boot partition of the medium keeps the medium.
  const mcom::DiskName boot{hfs, 2};
  machine_->Change([&](sim::Model& model) {
    sim::FindPartition(model, boot)->type = std::string(sim::kAppleBootPartitionGUID);
  });
  const sim::Model model = machine_->Read();
  const fs::path files =
      sim::VolumeFilesPath(root_.path(), *sim::VolumeOnPartition(model, boot)).string();
  fs::create_directory(files / "com.apple.recovery.boot");
  fs::rename(source_image_, files / "com.apple.recovery.boot/BaseSystem.dmg");
  EXPECT_EQ(refusal(mcom::DiskName{hfs}),
            "BuildRecovery: disk" + std::to_string(hfs) +
                " holds the recovery system the recovery disk is made from (disk" +
                std::to_string(hfs) + "s2)");
  EXPECT_TRUE(mounted());
}

TEST(RecoveryPartitionInListing, TakesThePartitionNamedRecoveryAndNothingElse) {
  using recovery_media_internal::RecoveryPartitionInListing;
  const auto find = [](const std::string& listing, const char* target) -> std::string {
    try {
      return RecoveryPartitionInListing(std::vector<char>(listing.begin(), listing.end()), target);
    } catch (const std::system_error& failure) {
      EXPECT_EQ(failure.code(), std::error_code(EINVAL, std::system_category()));
      return std::string("error: ") + failure.what();
    }
  };
  const auto listing = [](const std::string& partitions) {
    return "<plist version=\"1.0\"><dict><key>AllDisks</key><array><string>disk4</string>"
           "<string>disk4s1</string></array><key>AllDisksAndPartitions</key><array><dict>"
           "<key>DeviceIdentifier</key><string>disk4</string><key>Partitions</key><array>" +
           partitions + "</array></dict></array></dict></plist>";
  };
  const auto partition = [](const std::string& name, const std::string& volume) {
    return "<dict><key>DeviceIdentifier</key><string>" + name +
           "</string><key>VolumeName</key><string>" + volume + "</string></dict>";
  };
  EXPECT_EQ(find(listing(partition("disk4s1", "EFI") + partition("disk4s2", "Recovery") +
                         partition("disk4s3", "User Data")),
                 "disk4"),
            "disk4s2");
  EXPECT_EQ(
      find(listing(partition("disk4s1", "EFI") + partition("disk4s2", "Recovery")), "/dev/disk4"),
      "disk4s2");
  // Two entries in all: never the whole disk.
  EXPECT_THAT(find(listing(partition("disk4s1", "EFI")), "disk4"),
              HasSubstr("no Recovery partition"));
  EXPECT_THAT(find(listing(partition("disk4s2", "Recovery")), "disk5"),
              HasSubstr("no partitions of the target"));
  EXPECT_THAT(find(listing(partition("disk4", "Recovery")), "disk4"),
              HasSubstr("invalid disk name"));
  EXPECT_THAT(find("not a list", "disk4"), HasSubstr("failed to parse diskutil output"));
  EXPECT_THAT(find("<plist version=\"1.0\"><array/></plist>", "disk4"),
              HasSubstr("invalid diskutil output format"));
  // A real listing of a Mac without such a partition.
  const std::string real = ::testing::TemporaryFolder::ReadFile(
      mcom::FilePath(DORVANE_SOURCE_DIR "/tests/data/real-samples/diskutil-list-plist-1.xml"));
  EXPECT_THAT(find(real, "disk0"), HasSubstr("no Recovery partition"));
}

}  // namespace
