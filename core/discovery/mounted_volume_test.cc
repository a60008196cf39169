#include "core/discovery/mounted_volume.h"

#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "core/discovery/mount_approval.h"
#include "core/foundation/system_path.h"
#include "sim/machine/test_machine.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace mcom::disk_arbitration {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class MountedVolumeTest : public ::testing::Test {
 protected:
  MountedVolumeTest()
      : machine_(sim::testing::MakeTestMachine(root_.path())),
        session_(dispatch::CreateQueue("com.halvex-software.test.mounts")),
        approvals_(dispatch::CreateQueue("com.halvex-software.test.approvals")) {}

  Disk Named(const std::string& name) { return std::move(*Disk::FromBSDName(session_, name)); }
  sim::Volume Volume(const std::string& name) {
    return *sim::FindVolume(machine_.Read(), *mcom::ParseDiskName(name));
  }
  // The entries of the machine's /tmp (where temporary mount points are made).
  std::vector<std::string> TemporaryEntries() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(root_.Join("private/tmp").string())) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  // Refuses the first `refusals` mounts with `status`, then approves.
  MountApproval RefuseFirst(int refusals, platform::DAReturn status) {
    auto left = std::make_shared<std::atomic<int>>(refusals);
    return MountApproval::Register(approvals_,
                                   [left, status](const Disk*) -> mcom::Optional<Dissenter> {
                                     if (left->fetch_sub(1) > 0)
                                       return Dissenter::Create(status, "refused here");
                                     return std::nullopt;
                                   });
  }

  ::testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
  Session session_;
  Session approvals_;
};

TEST_F(MountedVolumeTest, AnAlreadyMountedVolumeIsUsedWhereItIsAndStaysMounted) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-apfs");
  const std::string name = "disk" + std::to_string(usb + 1) + "s1";
  const FilePath mount_point = root_.Join("Volumes/USB APFS");
  {
    std::optional<MountedVolume> volume = MountVolume(Named(name), kMountNotBrowsable);
    ASSERT_TRUE(volume.has_value());
    EXPECT_FALSE(volume->unmounts());
    EXPECT_FALSE(volume->removes_directory());
    EXPECT_FALSE(volume->directory().removes_on_release());
    EXPECT_THAT(volume->Path(), ::testing::HasValue(mount_point));
  }
  EXPECT_EQ(Volume(name).mount_point, mount_point.string());
  EXPECT_THAT(Volume(name).mount_options, IsEmpty()) << "no request was made";
  EXPECT_THAT(TemporaryEntries(), IsEmpty());
}

TEST_F(MountedVolumeTest, AVolumeMountedOnATemporaryDirectoryIsUnmountedAndTheDirectoryRemoved) {
  FilePath path;
  {
    std::optional<MountedVolume> volume = MountVolume(Named("disk1s2"), kMountNotBrowsable);
    ASSERT_TRUE(volume.has_value());
    EXPECT_TRUE(volume->unmounts());
    EXPECT_TRUE(volume->removes_directory());
    ASSERT_TRUE(volume->Path().has_value());
    path = *volume->Path();
    EXPECT_THAT(path.string(), StartsWith(root_.Join("private/tmp/.").string()));
    EXPECT_THAT(Volume("disk1s2").mount_options, ElementsAre("ro", "nobrowse"));
    // The descriptor is the volume: its files are listed through it.
    Result<std::vector<std::string>> entries = volume->directory().List();
    ASSERT_TRUE(entries.has_value());
    EXPECT_THAT(*entries, testing::Not(IsEmpty()));

    // Moving hands the clean-up over; the moved-from one does nothing.
    MountedVolume moved = std::move(*volume);
    volume.reset();
    EXPECT_TRUE(Volume("disk1s2").is_mounted());
  }
  EXPECT_FALSE(Volume("disk1s2").is_mounted());
  EXPECT_FALSE(std::filesystem::exists(path.string()));
  EXPECT_THAT(TemporaryEntries(), IsEmpty());
}

TEST_F(MountedVolumeTest, ARefusedTemporaryDirectoryIsRemovedAndTheDefaultPlaceTried) {
  for (platform::DAReturn status :
       {platform::kDAReturnNotPermitted, platform::kDAReturnNotPrivileged}) {
    const MountApproval refusal = RefuseFirst(1, status);
    {
      std::optional<MountedVolume> volume = MountVolume(Named("disk1s3"), kMountWritable);
      ASSERT_TRUE(volume.has_value()) << status;
      EXPECT_TRUE(volume->unmounts());
      EXPECT_FALSE(volume->removes_directory());
      EXPECT_THAT(volume->Path(), ::testing::HasValue(root_.Join("Volumes/Recovery")));
      EXPECT_THAT(TemporaryEntries(), IsEmpty()) << "the refused directory is gone";
    }
    EXPECT_FALSE(Volume("disk1s3").is_mounted());
  }
}

TEST_F(MountedVolumeTest, OtherRefusalsGiveNothingAndLeaveNothingBehind) {
  {
    const MountApproval refusal = RefuseFirst(1, platform::kDAReturnBusy);
    EXPECT_FALSE(MountVolume(Named("disk1s3"), 0).has_value());
  }
  {
    // The retry at the default place is refused as well.
    const MountApproval refusal = RefuseFirst(2, platform::kDAReturnNotPermitted);
    EXPECT_FALSE(MountVolume(Named("disk1s3"), 0).has_value());
  }
  EXPECT_FALSE(Volume("disk1s3").is_mounted());
  EXPECT_THAT(TemporaryEntries(), IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(root_.Join("Volumes/Recovery").string()));
  // A disk that holds no volume cannot be mounted at all.
  EXPECT_FALSE(MountVolume(Named("disk0s1"), 0).has_value());
  EXPECT_THAT(TemporaryEntries(), IsEmpty());
}

}  // namespace
}  // namespace mcom::disk_arbitration
