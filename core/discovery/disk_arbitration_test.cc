#include "core/discovery/disk_arbitration.h"

#include <gmock/gmock.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "core/foundation/error_category.h"
#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/test_media.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/test_machine.h"
#include "tests/support/error_matchers.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace mcom::disk_arbitration {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;

class DiskArbitrationTest : public ::testing::Test {
 protected:
  DiskArbitrationTest()
      : machine_(sim::testing::MakeTestMachine(root_.path())),
        session_(dispatch::CreateQueue("com.halvex-software.test.disks")) {}

  Disk Named(const std::string& name) {
    std::optional<Disk> disk = Disk::FromBSDName(session_, name);
    if (!disk) throw std::runtime_error("no disk " + name);
    return std::move(*disk);
  }
  sim::Volume Volume(const std::string& name) {
    return *sim::FindVolume(machine_.Read(), *mcom::ParseDiskName(name));
  }
  std::string SystemLog() {
    return ::testing::TemporaryFolder::ReadFile(SystemPath("/private/var/log/system.log"));
  }

  ::testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
  Session session_;
};

TEST(DiskArbitrationSystemVolumeTest, TheRootPathGivesTheSystemVolumeOnEveryMac) {
  for (const char* fixture : {"intel-mac", "t2-mac", "fusion-mac"}) {
    ::testing::TemporaryMachineRoot root;
    const sim::Machine machine = sim::testing::MakeTestMachine(root.path(), fixture);
    const sim::Model model = machine.Read();
    ASSERT_NE(sim::RunningSystemVolume(model), nullptr) << fixture;

    // Exactly as the backup pipeline asks, with an unscheduled session.
    Session session;
    const std::optional<Disk> disk =
        Disk::FromVolumePath(session, cf::URLFromPath(SystemPath("/"), true));
    ASSERT_TRUE(disk.has_value()) << fixture;
    EXPECT_EQ(disk->BSDName(), mcom::FormatDiskName(sim::RunningSystemVolume(model)->disk))
        << fixture;
  }
}

TEST_F(DiskArbitrationTest, DisksFromNamesMediaAndPaths) {
  EXPECT_FALSE(Disk::FromBSDName(session_, "disk9").has_value());
  EXPECT_FALSE(Disk::FromBSDName(session_, "").has_value());

  const Disk partition = Named("disk0s2");
  EXPECT_THAT(partition.BSDName(), Optional(std::string("disk0s2")));
  EXPECT_THAT(partition.WholeDisk()->BSDName(), Optional(std::string("disk0")));
  EXPECT_THAT(partition.Description()->GetString(platform::kDADiskDescriptionMediaContentKey),
              Optional(std::string("7C3457EF-0000-11AA-AA11-00306543ECAC")));

  const iokit::Service media = partition.IOMedia();
  ASSERT_TRUE(media);
  const std::optional<Disk> again = Disk::FromIOMedia(session_, media);
  ASSERT_TRUE(again.has_value());
  EXPECT_THAT(again->BSDName(), Optional(std::string("disk0s2")));
  EXPECT_FALSE(Disk::FromIOMedia(session_, iokit::Service()).has_value());

  EXPECT_THAT(
      Disk::FromVolumePath(session_, cf::URLFromPath(SystemPath("/System/Volumes/Data"), true))
          ->BSDName(),
      Optional(std::string("disk1s1")));
  EXPECT_FALSE(Disk::FromVolumePath(session_, cf::URLFromPath(SystemPath("/Volumes"), true)));
  EXPECT_FALSE(Disk::FromVolumePath(session_, nullptr));
}

TEST(MountArgumentsTest, FlagBitsGiveTheArgumentsInOrder) {
  EXPECT_THAT(MountArguments(0), ElementsAre("ro"));
  EXPECT_THAT(MountArguments(1), IsEmpty()) << "the plain mount call";
  EXPECT_THAT(MountArguments(2), ElementsAre("ro", "nobrowse"));
  EXPECT_THAT(MountArguments(3), ElementsAre("nobrowse"));
  EXPECT_THAT(MountArguments(kMountWritable | kMountNotBrowsable | 0x100), ElementsAre("nobrowse"));
}

TEST_F(DiskArbitrationTest, MountWithOptionsPassesTheFlagsToTheMachine) {
  for (uint32_t flags = 0; flags < 4; ++flags) {
    const Disk preboot = Named("disk1s2");
    EXPECT_FALSE(MountWithOptions(preboot, std::nullopt, flags).get()) << flags;
    EXPECT_EQ(Volume("disk1s2").mount_options, MountArguments(flags)) << flags;
    EXPECT_FALSE(Unmount(preboot).get()) << flags;
  }
  // At a given directory.
  const FilePath target = root_.Join("private/tmp/here");
  ASSERT_FALSE(MakeDirectory(target));
  EXPECT_FALSE(MountWithOptions(Named("disk1s3"), target, 1).get());
  EXPECT_EQ(Volume("disk1s3").mount_point, target.string());
  // A path no service can take is refused at once, not taken as "the default place".
  const mcom::Optional<Dissenter> refused =
      MountWithOptions(Named("disk1s4"), FilePath(std::string("/a\0b", 4)), 1).get();
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->status(), platform::kDAReturnBadArgument);
  EXPECT_FALSE(Volume("disk1s4").is_mounted());
}

TEST_F(DiskArbitrationTest, MountAnswersTheMountPointOrTheStatus) {
  EXPECT_THAT(Mount(Named("disk1s2")).get(), ::testing::HasValue(root_.Join("Volumes/Preboot")));
  // Already mounted: the same place.
  EXPECT_THAT(Mount(Named("disk1s2")).get(), ::testing::HasValue(root_.Join("Volumes/Preboot")));

  // An EFI partition holds no volume: the service's status, logged.
  const Result<FilePath> refused = Mount(Named("disk0s1")).get();
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().category(), category());
  EXPECT_EQ(static_cast<uint32_t>(refused.error().value()), 0xF8DA0006u);
  EXPECT_EQ(refused.error().message(), "(disk arbitration) not found");
  EXPECT_THAT(SystemLog(), HasSubstr("mount operation for disk0s1 failed: { DAProcessID = "));
  EXPECT_THAT(SystemLog(), HasSubstr("DAStatusString = \"no such volume: disk0s1\"; }"));
}

TEST_F(DiskArbitrationTest, DissentersAreLoggedAndHandedOver) {
  const Disk preboot = Named("disk1s2");
  const mcom::Optional<Dissenter> dissenter = Unmount(preboot).get();
  ASSERT_TRUE(dissenter.has_value());
  EXPECT_EQ(dissenter->status(), platform::kDAReturnNotMounted);
  EXPECT_THAT(dissenter->status_string(), Optional(std::string("disk1s2 is not mounted")));
  EXPECT_THAT(SystemLog(), HasSubstr("<Default>: operation for disk1s2 failed: { DAProcessID = "));
  EXPECT_THAT(SystemLog(), HasSubstr("DAStatus = 0xf8da0007;"));
  EXPECT_EQ(dissenter->Description(),
            "{ DAProcessID = " + std::to_string(::getpid()) +
                "; DAStatus = 0xf8da0007; DAStatusString = \"disk1s2 is not mounted\"; }");
}

TEST_F(DiskArbitrationTest, WholeDiskRequestsAndEject) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-apfs");
  const Disk disk = Named("disk" + std::to_string(usb));
  const std::string volume = "disk" + std::to_string(usb + 1) + "s1";
  EXPECT_FALSE(UnmountWholeDisk(disk).get());
  EXPECT_FALSE(Volume(volume).is_mounted());
  EXPECT_FALSE(MountWholeDisk(disk).get());
  EXPECT_TRUE(Volume(volume).is_mounted());
  EXPECT_FALSE(Eject(disk).get());
  EXPECT_EQ(sim::FindDisk(machine_.Read(), usb), nullptr);
  // Gone, the disk's requests are refused.
  const mcom::Optional<Dissenter> again = Eject(disk).get();
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->status(), platform::kDAReturnNotFound);
}

TEST_F(DiskArbitrationTest, MountInBackgroundWorksWithAnUnscheduledSession) {
  {
    Session unscheduled;
    std::optional<Disk> disk = Disk::FromBSDName(unscheduled, "disk1s3");
    ASSERT_TRUE(disk.has_value());
    disk->MountInBackground();
  }
  const auto deadline = std::chrono::steady_clock::now() + da_testing::kPatience;
  while (!Volume("disk1s3").is_mounted() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Volume("disk1s3").mount_point, root_.Join("Volumes/Recovery").string());
}

TEST_F(DiskArbitrationTest, RequestsOnAMovedFromDiskAreRefusedAtOnce) {
  Disk disk = Named("disk1s2");
  const Disk taken = std::move(disk);
  const mcom::Optional<Dissenter> refused =
      Unmount(disk).get();  // NOLINT: use after move on purpose
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->status(), platform::kDAReturnBadArgument);
  EXPECT_FALSE(Mount(disk).get().has_value());
  EXPECT_FALSE(disk.BSDName().has_value());
}

TEST(ThrowIfDissentedTest, ThrowsTheStatusInTheDiskArbitrationCategory) {
  EXPECT_NO_THROW(ThrowIfDissented(std::nullopt));
  const auto code = [](platform::DAReturn status) {
    return std::error_code(static_cast<int>(status), category());
  };
  EXPECT_THAT([] { ThrowIfDissented(Dissenter::Create(platform::kDAReturnBusy, "in use")); },
              ::testing::ThrowsSystemError(code(platform::kDAReturnBusy)));
  EXPECT_THAT(
      [] { ThrowIfDissented(Dissenter::Create(platform::kDAReturnNotPrivileged)); },
      ::testing::ThrowsMessage<std::system_error>(HasSubstr("(disk arbitration) not privileged")));
}

}  // namespace
}  // namespace mcom::disk_arbitration
