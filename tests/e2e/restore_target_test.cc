// Which disks a restore may erase, and what it does with the one it is given. Every refusal
// comes before anything changes: the machine's disks, the image and the mount table are as
// they were.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "core/backup/backup.h"
#include "core/backup/disk_claim.h"
#include "core/backup/image_tools.h"
#include "core/backup/partial_image.h"
#include "core/backup/restore.h"
#include "core/discovery/apfs_container.h"
#include "core/foundation/error.h"
#include "tests/e2e/e2e_machine.h"
#include "tests/support/error_matchers.h"

namespace e2e {
namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::ThrowsError;

std::string EveryDisk(E2EMachine& mac) {
  std::string state;
  for (const sim::Disk& disk : mac.machine().Read().disks) {
    state += mac.DiskState(mcom::DiskName{disk.number}) + "\n";
  }
  return state;
}

class RestoreTarget : public testing::Test {
 protected:
  void SetUp() override {
    usb_ = mac_.Plug("usb-apfs");
    // The backup lives on the USB disk's volume, as it would for a user.
    const std::string mount_point = mac_.MountPoint("USB APFS");
    ASSERT_FALSE(mount_point.empty());
    image_ = mcom::FilePath(mount_point).Join("Backup.sparseimage");
    BackUpSystem(image_);
  }

  void ExpectRefused(mcom::DiskName target, const std::string& reason) {
    const std::string before = EveryDisk(mac_);
    EXPECT_THAT([&] { RestoreOnto(image_, APFSContainerName{target}); },
                ThrowsError("PerformRestore", HasSubstr(reason)))
        << FormatDiskName(target);
    EXPECT_EQ(EveryDisk(mac_), before) << FormatDiskName(target);
    EXPECT_THAT(mac_.AttachedImages(), IsEmpty());
  }

  E2EMachine mac_;
  mcom::DiskName usb_;
  mcom::FilePath image_;
};

TEST_F(RestoreTarget, RefusesWhatMustNotBeErased) {
  const APFSContainerName system = mac_.SystemContainer();
  ExpectRefused(system.name, "holds the running system");
  ExpectRefused(mcom::DiskName{0}, "holds the running system");
  ExpectRefused(mcom::DiskName{0, 2}, "holds the running system");
  ExpectRefused(mcom::DiskName{system.name.disk, 1}, "is an APFS volume");
  ExpectRefused(mcom::DiskName{usb_.disk, 1}, "is an EFI system partition");
  const std::optional<APFSContainerName> usb_container =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb_.disk, 2});
  ASSERT_TRUE(usb_container.has_value());
  for (const mcom::DiskName image_disk :
       {usb_, mcom::DiskName{usb_.disk, 2}, usb_container->name}) {
    ExpectRefused(image_disk, "holds the image " + image_.string());
  }
  ExpectRefused(mcom::DiskName{42}, "this Mac has no disk disk42");
  // The image is still a good backup.
  const mcom::DiskName blank = mac_.Plug("usb-blank");
  RestoreOnto(image_, APFSContainerName{blank});
}

TEST_F(RestoreTarget, AWholeDiskWithPartitionsIsUsedThroughItsOnlyDataPartition) {
  // usb-hfs: EFI + one HFS+ partition, which becomes the container. (A whole disk with an
  // APFS container is used through it: the image's own disk above shows that it is found.)
  const mcom::DiskName hfs = mac_.Plug("usb-hfs");
  RestoreOnto(image_, APFSContainerName{hfs});
  const std::optional<APFSContainerName> restored =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{hfs.disk, 2});
  ASSERT_TRUE(restored.has_value());
  EXPECT_THAT(mac_.ContainerDifferences(mac_.SystemContainer(), *restored), IsEmpty());
}

TEST_F(RestoreTarget, AnImageWithoutVolumesIsRefusedBeforeTheTargetIsTouched) {
  const mcom::FilePath empty = mac_.Scratch("Empty.sparseimage");
  CreateSparseImage(100 * 1024 * 1024, empty);
  {
    AttachedImage attached = AttachImage(empty, kAttachReadWrite);
    CreateAPFSContainer(attached.disk);
    DetachImage(attached);
  }
  const mcom::DiskName hfs = mac_.Plug("usb-hfs");
  const std::string before = mac_.DiskState(hfs);
  EXPECT_THAT(
      [&] {
        RestoreOnto(empty, APFSContainerName{mcom::DiskName{hfs.disk, 2}});
      },
      ThrowsError("PerformRestore", "the image at " + empty.string() + " holds no volumes"));
  EXPECT_EQ(mac_.DiskState(hfs), before);
  EXPECT_THAT(mac_.AttachedImages(), IsEmpty());
}

TEST_F(RestoreTarget, ADiskInUseByAnotherOperationIsRefused) {
  const mcom::DiskName blank = mac_.Plug("usb-blank");
  const DiskClaims other({blank}, "PerformRestore");
  ExpectRefused(blank, FormatDiskName(blank) + " is in use by another Dorvane operation");
}

// A run that was killed left its partial image attached; the next run detaches and removes
// it, and leaves alone the partial images of runs that are still going.
TEST(PartialImages, ThoseOfDeadRunsAreDetachedAndRemoved) {
  E2EMachine mac;
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);

  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  const mcom::FilePath abandoned = PartialImagePath(image, dead);
  const mcom::FilePath running = PartialImagePath(image, ::getpid());
  EXPECT_EQ(PartialImageWriter(abandoned.LastComponent()), dead);
  EXPECT_EQ(PartialImageWriter("Backup.sparseimage"), std::nullopt);
  CreateSparseImage(1 << 20, abandoned);
  CreateSparseImage(1 << 20, running);
  AttachedImage left = AttachImage(abandoned, kAttachReadWrite);
  left.detach->Dismiss();  // as if the process had been killed

  // An image that cannot be detached keeps its file, for a later run.
  mac.SetFault("hdiutil.detach", "fail");
  EXPECT_THAT(RemoveAbandonedPartialImages({mac.folder()}), IsEmpty());
  EXPECT_THAT(mac.ScratchNames(), testing::SizeIs(2));
  mac.SetFault("hdiutil.detach", "");

  EXPECT_THAT(RemoveAbandonedPartialImages({mac.folder()}), testing::ElementsAre(abandoned));
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  EXPECT_THAT(mac.ScratchNames(), testing::ElementsAre(running.LastComponent()));
}

// What the tool printed cannot be read, yet it attached the image: it is found and detached.
TEST(AttachOutput, ThatCannotBeReadLeavesNothingAttached) {
  E2EMachine mac;
  const mcom::FilePath image = mac.Scratch("Image.sparseimage");
  CreateSparseImage(1 << 20, image);
  for (const char* output : {"text", "empty-entities", "bad-dev-entry"}) {
    mac.SetFault("hdiutil.attach-output", output);
    EXPECT_THAT([&] { AttachImage(image, kAttachReadOnly); },
                ThrowsError(testing::_, testing::StartsWith("failed to parse hdiutil output: ")))
        << output;
    EXPECT_THAT(mac.AttachedImages(), IsEmpty()) << output;
  }
}

}  // namespace
}  // namespace e2e
