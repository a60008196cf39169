// Backups and restores on the simulated Macs, with every file of every volume compared.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/backup/backup.h"
#include "core/backup/restore.h"
#include "core/discovery/apfs_container.h"
#include "tests/e2e/e2e_machine.h"

namespace e2e {
namespace {

using testing::IsEmpty;

bool Exists(const mcom::FilePath& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

// The container a restore onto `target` ended in.
APFSContainerName ContainerOn(mcom::DiskName target) {
  if (std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(target)) {
    return *container;
  }
  return APFSContainerName{target};
}

TEST(BackupAndRestore, SystemContainerIntoAnImageAndOntoABlankDisk) {
  E2EMachine mac;
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  ProgressLog progress;
  backup::PerformBackup(std::nullopt, image, ReplicateHere, progress.Callback());

  const APFSContainerName system = mac.SystemContainer();
  EXPECT_THAT(progress.texts, testing::IsSupersetOf(std::vector<std::string>{
                                  "no target specified. looking for system APFS container",
                                  "found system APFS container " + FormatDiskName(system)}));
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  ASSERT_TRUE(Exists(image));

  const mcom::DiskName blank = mac.Plug("usb-blank");
  PerformRestore(image, APFSContainerName{blank}, ReplicateHere, progress.Callback());
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  const APFSContainerName restored = ContainerOn(blank);
  EXPECT_EQ(mac.VolumeNames(restored), mac.VolumeNames(system));
  EXPECT_THAT(mac.ContainerDifferences(system, restored), IsEmpty());
}

TEST(BackupAndRestore, GivenContainerOntoADiskThatHoldsAContainer) {
  E2EMachine mac("t2-mac");
  const APFSContainerName system = mac.SystemContainer();
  const mcom::FilePath image = mac.Scratch("given.sparseimage");
  ProgressLog progress;
  backup::PerformBackup(system, image, ReplicateHere, progress.Callback());
  // A given source skips the search, so its texts never appear.
  for (const std::string& text : progress.texts) {
    EXPECT_EQ(text.find("looking for system"), std::string::npos) << text;
  }

  // The medium's APFS partition (after the EFI one) holds a container, which is used.
  const mcom::DiskName usb = mac.Plug("usb-apfs");
  const mcom::DiskName partition{usb.disk, 2};
  const std::optional<APFSContainerName> existing = mcom::FindAPFSContainerOnDisk(partition);
  ASSERT_TRUE(existing.has_value());
  PerformRestore(image, APFSContainerName{partition}, ReplicateHere, progress.Callback());
  EXPECT_EQ(mcom::FindAPFSContainerOnDisk(partition), existing);
  EXPECT_THAT(mac.ContainerDifferences(system, *existing), IsEmpty());
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
}

TEST(BackupAndRestore, OntoAnHFSPartitionWhichBecomesAContainer) {
  E2EMachine mac;
  const APFSContainerName system = mac.SystemContainer();
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  backup::PerformBackup(std::nullopt, image, ReplicateHere, [](ProgressUpdate) {});

  const mcom::DiskName usb = mac.Plug("usb-hfs");
  const mcom::DiskName partition{usb.disk, 2};
  PerformRestore(image, APFSContainerName{partition}, ReplicateHere, [](ProgressUpdate) {});
  const std::optional<APFSContainerName> restored = mcom::FindAPFSContainerOnDisk(partition);
  ASSERT_TRUE(restored.has_value());
  EXPECT_THAT(mac.ContainerDifferences(system, *restored), IsEmpty());
}

TEST(BackupAndRestore, ATargetContainerIsUsedAsItIs) {
  E2EMachine mac;
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  backup::PerformBackup(std::nullopt, image, ReplicateHere, [](ProgressUpdate) {});
  const mcom::DiskName usb = mac.Plug("usb-apfs");
  const std::optional<APFSContainerName> container =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb.disk, 2});
  ASSERT_TRUE(container.has_value());

  PerformRestore(image, *container, ReplicateHere, [](ProgressUpdate) {});
  EXPECT_THAT(mac.ContainerDifferences(mac.SystemContainer(), *container), IsEmpty());
}

TEST(BackupAndRestore, AnExistingImageFileIsReplaced) {
  E2EMachine mac;
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  {
    FILE* old = std::fopen(image.c_str(), "w");
    ASSERT_NE(old, nullptr);
    std::fputs("an older backup", old);
    std::fclose(old);
  }
  backup::PerformBackup(std::nullopt, image, ReplicateHere, [](ProgressUpdate) {});
  const mcom::DiskName blank = mac.Plug("usb-blank");
  PerformRestore(image, APFSContainerName{blank}, ReplicateHere, [](ProgressUpdate) {});
  EXPECT_THAT(mac.ContainerDifferences(mac.SystemContainer(), ContainerOn(blank)), IsEmpty());
}

}  // namespace
}  // namespace e2e
