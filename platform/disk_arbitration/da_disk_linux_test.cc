#include "platform/disk_arbitration/da_disk.h"

#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_uuid.h"
#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/test_media.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

namespace cf = mcom::cf;
using ::testing::IsNull;
using ::testing::NotNull;

// Owners, so that a failed assertion releases what the test made.
struct SessionOwner {
  DASessionRef session = DASessionCreate();
  ~SessionOwner() { CFRelease(session); }
};
struct DiskDeleter {
  void operator()(DADisk* disk) const { CFRelease(disk); }
};
using DiskOwner = std::unique_ptr<DADisk, DiskDeleter>;

std::string NameOf(const DiskOwner& disk) {
  const char* name = DADiskGetBSDName(disk.get());
  return name != nullptr ? name : "(none)";
}

class DADiskTest : public ::testing::Test {
 protected:
  DADiskTest() : machine_(sim::testing::MakeTestMachine(root_.path())) {}

  DiskOwner FromName(const char* name) {
    return DiskOwner(DADiskCreateFromBSDName(session_.session, name));
  }
  DiskOwner FromPath(const mcom::FilePath& path) {
    return DiskOwner(
        DADiskCreateFromVolumePath(session_.session, cf::URLFromPath(path, /*is_directory=*/true)));
  }
  cf::Ref<cf::Dictionary> Describe(const char* name) {
    return DADiskCopyDescription(FromName(name).get());
  }

  // The machine root is the test's folder, so sessions act on this machine.
  testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
  SessionOwner session_;
};

TEST_F(DADiskTest, AnyNameMakesADiskButOnlyAKnownDiskHasABSDNameAndAWholeDisk) {
  EXPECT_EQ(NameOf(FromName("disk1s5")), "disk1s5");
  EXPECT_EQ(NameOf(FromName("/dev/disk0s2")), "disk0s2");
  EXPECT_EQ(NameOf(FromName("disk0")), "disk0");
  EXPECT_EQ(NameOf(FromName("disk1")), "disk1") << "a container's synthesized disk";
  for (const char* unknown : {"disk9", "disk1s9", "disk0s3", "disk", "disk01", "", "sda1"}) {
    const DiskOwner disk = FromName(unknown);
    ASSERT_THAT(disk.get(), NotNull()) << unknown;
    EXPECT_EQ(DADiskGetBSDName(disk.get()), nullptr) << unknown;
    EXPECT_THAT(DADiskCopyDescription(disk.get()), IsNull()) << unknown;
  }
  EXPECT_EQ(DADiskCreateFromBSDName(session_.session, nullptr), nullptr);
  EXPECT_EQ(DADiskCreateFromBSDName(nullptr, "disk0"), nullptr);

  // The whole disk is the disk number of the name.
  EXPECT_EQ(NameOf(DiskOwner(DADiskCopyWholeDisk(FromName("disk0s2").get()))), "disk0");
  EXPECT_EQ(NameOf(DiskOwner(DADiskCopyWholeDisk(FromName("disk1s5").get()))), "disk1")
      << "an APFS volume's whole disk is its container's disk, not the physical disk";
  EXPECT_EQ(NameOf(DiskOwner(DADiskCopyWholeDisk(FromName("disk0").get()))), "disk0");
  EXPECT_EQ(DADiskCopyWholeDisk(FromName("disk7s1").get()), nullptr);
  EXPECT_EQ(DADiskCopyWholeDisk(nullptr), nullptr);
}

TEST_F(DADiskTest, TheRootPathIsTheRunningSystemsSystemVolume) {
  // As the backup pipeline asks: a directory URL of the root.
  EXPECT_EQ(NameOf(FromPath(mcom::SystemPath("/"))), "disk1s5");
  EXPECT_EQ(NameOf(FromPath(mcom::FilePath(root_.path().string() + "/"))), "disk1s5");
  EXPECT_EQ(NameOf(FromPath(mcom::SystemPath("/System/Volumes/Data"))), "disk1s1");
  // Folders of the root that are no mount points have no volume.
  EXPECT_EQ(FromPath(mcom::SystemPath("/Volumes")).get(), nullptr);
  EXPECT_EQ(FromPath(mcom::SystemPath("/System")).get(), nullptr);
  EXPECT_EQ(FromPath(root_.Join("missing")).get(), nullptr);
  EXPECT_EQ(DADiskCreateFromVolumePath(session_.session, nullptr), nullptr);
}

TEST_F(DADiskTest, AMountedVolumeIsFoundByItsMountPointUnderAnySpelling) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-apfs");
  const std::string volume = "disk" + std::to_string(usb + 1) + "s1";
  const mcom::FilePath mount_point = mcom::SystemPath("/Volumes/USB APFS");
  EXPECT_EQ(NameOf(FromPath(mount_point)), volume);

  std::filesystem::create_directory_symlink(mount_point.string(), root_.Join("link").string());
  EXPECT_EQ(NameOf(FromPath(root_.Join("link"))), volume);
  // A folder inside the volume is not its mount point.
  std::filesystem::create_directory(mount_point.Join("inner").string());
  EXPECT_EQ(FromPath(mount_point.Join("inner")).get(), nullptr);

  // Unmounted, the path is an ordinary (missing) folder again.
  machine_.Change(
      [&](sim::Model& model) { sim::UnplugMedium(machine_.root(), model, mcom::DiskName{usb}); });
  EXPECT_EQ(FromPath(mount_point).get(), nullptr);
}

TEST_F(DADiskTest, DescriptionOfAnInternalWholeDisk) {
  const cf::Ref<cf::Dictionary> description = Describe("disk0");
  ASSERT_THAT(description, NotNull());
  EXPECT_EQ(description->GetString(kDADiskDescriptionMediaBSDNameKey), "disk0");
  EXPECT_EQ(description->GetString(kDADiskDescriptionMediaNameKey), "APPLE SSD AP0512M Media");
  ASSERT_THAT(description->Get<cf::Number>(kDADiskDescriptionMediaSizeKey), NotNull());
  EXPECT_EQ(description->GetUnsigned(kDADiskDescriptionMediaSizeKey), 500277790720u);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaWholeKey), true);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaLeafKey), false);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaWritableKey), true);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaRemovableKey), false);
  EXPECT_EQ(description->GetString(kDADiskDescriptionMediaContentKey), "GUID_partition_scheme");
  EXPECT_EQ(description->GetString(kDADiskDescriptionMediaKindKey), "IOMedia");
  EXPECT_EQ(description->GetInteger(kDADiskDescriptionMediaBSDUnitKey), 0);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionDeviceInternalKey), true);
  EXPECT_EQ(description->GetString(kDADiskDescriptionDeviceProtocolKey), "PCI-Express");
  EXPECT_EQ(description->GetString(kDADiskDescriptionDeviceModelKey), "APPLE SSD AP0512M");
  const cf::Ref<cf::Dictionary> icon = description->GetDictionary(kDADiskDescriptionMediaIconKey);
  EXPECT_EQ(cf::GetString(icon, "CFBundleIdentifier"), "com.apple.iokit.IOStorageFamily");
  EXPECT_EQ(cf::GetString(icon, "IOBundleResourceFile"), "Internal.icns");
  EXPECT_THAT(description->Get<cf::UUID>(kDADiskDescriptionMediaUUIDKey), NotNull());
  // A disk holds no volume of its own.
  EXPECT_FALSE(description->Contains(kDADiskDescriptionVolumeNameKey));
  EXPECT_FALSE(description->Contains(kDADiskDescriptionVolumePathKey));
}

TEST_F(DADiskTest, DescriptionOfTheSystemVolumeAndOfAnUnmountedVolume) {
  const sim::Model model = machine_.Read();
  const sim::Volume* system = sim::RunningSystemVolume(model);
  ASSERT_NE(system, nullptr);

  const cf::Ref<cf::Dictionary> description = Describe("disk1s5");
  ASSERT_THAT(description, NotNull());
  EXPECT_EQ(description->GetString(kDADiskDescriptionVolumeNameKey), "Macintosh HD");
  EXPECT_EQ(description->GetString(kDADiskDescriptionVolumeKindKey), "apfs");
  EXPECT_EQ(description->GetBool(kDADiskDescriptionVolumeMountableKey), true);
  EXPECT_TRUE(cf::Equal(description->GetValue(kDADiskDescriptionVolumeUUIDKey),
                        cf::UUID::CreateFromString(system->uuid)));
  // The volume path is a URL, a directory URL, of the machine root.
  const cf::Ref<cf::URL> path = description->Get<cf::URL>(kDADiskDescriptionVolumePathKey);
  ASSERT_THAT(path, NotNull());
  EXPECT_TRUE(path->is_directory());
  EXPECT_EQ(path->path(), root_.path());
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaWholeKey), false);
  EXPECT_EQ(description->GetBool(kDADiskDescriptionMediaLeafKey), true);
  EXPECT_EQ(description->GetString(kDADiskDescriptionMediaContentKey),
            "41504653-0000-11AA-AA11-00306543ECAC");
  // The device keys come from the physical disk under the container.
  EXPECT_EQ(description->GetString(kDADiskDescriptionDeviceProtocolKey), "PCI-Express");
  EXPECT_EQ(description->GetBool(kDADiskDescriptionDeviceInternalKey), true);

  const cf::Ref<cf::Dictionary> data = Describe("disk1s1");
  EXPECT_EQ(cf::CopyPathOfURL(data->Get<cf::URL>(kDADiskDescriptionVolumePathKey)),
            root_.Join("System/Volumes/Data"));

  const cf::Ref<cf::Dictionary> preboot = Describe("disk1s2");
  ASSERT_THAT(preboot, NotNull());
  EXPECT_EQ(preboot->GetString(kDADiskDescriptionVolumeNameKey), "Preboot");
  EXPECT_FALSE(preboot->Contains(kDADiskDescriptionVolumePathKey)) << "not mounted";

  const cf::Ref<cf::Dictionary> container = Describe("disk1");
  EXPECT_EQ(container->GetBool(kDADiskDescriptionMediaWholeKey), true);
  EXPECT_EQ(container->GetString(kDADiskDescriptionMediaContentKey),
            "EF57347C-0000-11AA-AA11-00306543ECAC");
  EXPECT_FALSE(container->Contains(kDADiskDescriptionVolumeNameKey));
}

TEST_F(DADiskTest, DescriptionOfExternalMediaAndOfADiskImage) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-hfs");
  const std::string partition = "disk" + std::to_string(usb) + "s2";
  const cf::Ref<cf::Dictionary> hfs = Describe(partition.c_str());
  ASSERT_THAT(hfs, NotNull());
  EXPECT_EQ(hfs->GetBool(kDADiskDescriptionDeviceInternalKey), false);
  EXPECT_EQ(hfs->GetString(kDADiskDescriptionDeviceProtocolKey), "USB");
  EXPECT_EQ(hfs->GetString(kDADiskDescriptionVolumeKindKey), "hfs");
  EXPECT_EQ(hfs->GetString(kDADiskDescriptionVolumeNameKey), "USB HFS");
  EXPECT_EQ(hfs->GetString(kDADiskDescriptionMediaContentKey),
            "48465300-0000-11AA-AA11-00306543ECAC");
  const cf::Ref<cf::URL> path = hfs->Get<cf::URL>(kDADiskDescriptionVolumePathKey);
  ASSERT_THAT(path, NotNull());
  EXPECT_EQ(path->AbsoluteString(), "file://" + root_.path().string() + "/Volumes/USB%20HFS/");

  const uint32_t image = da_testing::AttachTestImage(machine_);
  const cf::Ref<cf::Dictionary> whole = Describe(("disk" + std::to_string(image)).c_str());
  ASSERT_THAT(whole, NotNull());
  EXPECT_EQ(whole->GetString(kDADiskDescriptionDeviceProtocolKey), "Virtual Interface");
  EXPECT_FALSE(whole->Contains(kDADiskDescriptionDeviceInternalKey)) << "location \"File\"";
  EXPECT_EQ(whole->GetString(kDADiskDescriptionMediaNameKey), "Apple sparse disk image Media");
  EXPECT_EQ(whole->GetBool(kDADiskDescriptionMediaEjectableKey), true);
  // The image's volume reports the image's device too.
  const cf::Ref<cf::Dictionary> volume =
      Describe(("disk" + std::to_string(image + 1) + "s1").c_str());
  ASSERT_THAT(volume, NotNull());
  EXPECT_EQ(volume->GetString(kDADiskDescriptionDeviceProtocolKey), "Virtual Interface");
  EXPECT_EQ(volume->GetString(kDADiskDescriptionVolumeNameKey), "Image Volume");
}

TEST_F(DADiskTest, RegistryMediaObjectsAndDisksLeadToEachOther) {
  const DiskOwner partition = FromName("disk0s2");
  const io_service_t media = DADiskCopyIOMedia(partition.get());
  ASSERT_NE(media, IO_OBJECT_NULL);
  EXPECT_TRUE(IOObjectConformsTo(media, "IOMedia"));
  EXPECT_EQ(NameOf(DiskOwner(DADiskCreateFromIOMedia(session_.session, media))), "disk0s2");
  IOObjectRelease(media);

  // An APFS volume is an IOMedia as well.
  const io_service_t volume =
      IOServiceGetMatchingService(kIOMainPortDefault, IOBSDNameMatching(0, 0, "disk1s3"));
  ASSERT_NE(volume, IO_OBJECT_NULL);
  EXPECT_EQ(NameOf(DiskOwner(DADiskCreateFromIOMedia(session_.session, volume))), "disk1s3");
  IOObjectRelease(volume);

  // Something that is not a media has no disk.
  const io_service_t scheme =
      IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("IOGUIDPartitionScheme"));
  ASSERT_NE(scheme, IO_OBJECT_NULL);
  EXPECT_EQ(DADiskCreateFromIOMedia(session_.session, scheme), nullptr);
  IOObjectRelease(scheme);
  EXPECT_EQ(DADiskCreateFromIOMedia(session_.session, IO_OBJECT_NULL), nullptr);
  EXPECT_EQ(DADiskCopyIOMedia(FromName("disk9").get()), IO_OBJECT_NULL);
}

TEST_F(DADiskTest, ADiskThatWentHasNoDescriptionAndADiskOutlivesItsSession) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-hfs");
  DiskOwner disk;
  {
    SessionOwner session;
    disk.reset(DADiskCreateFromBSDName(session.session, ("disk" + std::to_string(usb)).c_str()));
  }
  EXPECT_THAT(DADiskCopyDescription(disk.get()), NotNull());
  machine_.Change(
      [&](sim::Model& model) { sim::UnplugMedium(machine_.root(), model, mcom::DiskName{usb}); });
  EXPECT_THAT(DADiskCopyDescription(disk.get()), IsNull());
  EXPECT_EQ(NameOf(disk), "disk" + std::to_string(usb)) << "the name stays";
}

TEST(DADiskWithoutMachineTest, ARootWithoutAMachineHasNoDisks) {
  testing::TemporaryMachineRoot root;
  SessionOwner session;
  const DiskOwner disk(DADiskCreateFromBSDName(session.session, "disk0"));
  EXPECT_EQ(DADiskGetBSDName(disk.get()), nullptr);
  EXPECT_EQ(DADiskCreateFromVolumePath(session.session, cf::URLFromPath(root.path(), true)),
            nullptr);
}

}  // namespace
}  // namespace platform
