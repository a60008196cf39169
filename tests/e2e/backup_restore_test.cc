// Backups and restores on the simulated Macs, with every file of every volume compared.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/backup/backup.h"
#include "core/backup/restore.h"
#include "core/discovery/apfs_container.h"
#include "tests/e2e/e2e_machine.h"
#include "tests/support/temporary_folder.h"

namespace e2e {
namespace {

using testing::IsEmpty;

// The container a restore onto `target` ended in.
APFSContainerName ContainerOn(mcom::DiskName target) {
  if (std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(target)) {
    return *container;
  }
  return APFSContainerName{target};
}

// Every volume of the system container, whatever its role, group or name, comes back
// identical: one run for the Intel Mac's single group, a run per group and per ungrouped
// volume for the dual-boot Mac (Preboot, Recovery and VM included) and for a Mac whose user
// keeps volumes of their own.
class SystemRoundTrip : public testing::TestWithParam<std::tuple<const char*, size_t>> {};

TEST_P(SystemRoundTrip, IntoAnImageAndOntoABlankDisk) {
  E2EMachine mac(std::get<0>(GetParam()));
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  ProgressLog progress;
  backup::PerformBackup(std::nullopt, image, ReplicateHere, progress.Callback());

  const APFSContainerName system = mac.SystemContainer();
  EXPECT_THAT(progress.texts, testing::IsSupersetOf(std::vector<std::string>{
                                  "no target specified. looking for system APFS container",
                                  "found system APFS container " + FormatDiskName(system)}));
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  EXPECT_THAT(mac.ScratchNames(), testing::ElementsAre("Backup.sparseimage"));

  const mcom::DiskName blank = mac.Plug("usb-blank");
  PerformRestore(image, APFSContainerName{blank}, ReplicateHere, progress.Callback());
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
  const APFSContainerName restored = ContainerOn(blank);
  EXPECT_EQ(mac.VolumeNames(restored).size(), std::get<1>(GetParam()));
  EXPECT_THAT(mac.ContainerDifferences(system, restored), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SystemRoundTrip,
                         testing::Values(std::tuple{"intel-mac", 5}, std::tuple{"dual-boot-mac", 7},
                                         std::tuple{"user-volumes-mac", 7}));

// Sockets, device nodes, FIFOs, hard links, sparse files and extended attributes on the
// source survive the image and the restore (a socket once made the final detach fail, and
// the backup was reported done with an empty image).
TEST(BackupAndRestore, EveryKindOfFileSurvives) {
  E2EMachine mac;
  const mcom::FilePath data = mac.VolumeFiles("Macintosh HD - Data");
  const std::string special = data.Join("special").string();
  ASSERT_EQ(::mkdir(special.c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((special + "/fifo").c_str(), 0640), 0);
  {
    // Bound under a short name (the socket path limit) and moved into place.
    const std::string short_path = mac.folder().Join("s").string();
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(short_path.size(), sizeof address.sun_path);
    short_path.copy(address.sun_path, short_path.size());
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(socket);
    ASSERT_EQ(::rename(short_path.c_str(), (special + "/socket").c_str()), 0);
  }
  const bool may_make_nodes =
      ::mknod((special + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  {
    FILE* file = std::fopen((special + "/sparse").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 64 << 20, SEEK_SET);
    std::fputs("end", file);
    std::fclose(file);
  }
  ASSERT_EQ(::link((special + "/sparse").c_str(), (special + "/hard link").c_str()), 0);
  ASSERT_EQ(::setxattr((special + "/sparse").c_str(), "user.com.apple.FinderInfo", "x", 1, 0), 0);

  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  BackUpSystem(image);
  const mcom::DiskName blank = mac.Plug("usb-blank");
  RestoreOnto(image, APFSContainerName{blank});
  EXPECT_THAT(mac.ContainerDifferences(mac.SystemContainer(), ContainerOn(blank)), IsEmpty());
  if (!may_make_nodes) GTEST_SKIP() << "device nodes need root; the rest was checked";
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
  BackUpSystem(image);

  const mcom::DiskName usb = mac.Plug("usb-hfs");
  const mcom::DiskName partition{usb.disk, 2};
  RestoreOnto(image, APFSContainerName{partition});
  const std::optional<APFSContainerName> restored = mcom::FindAPFSContainerOnDisk(partition);
  ASSERT_TRUE(restored.has_value());
  EXPECT_THAT(mac.ContainerDifferences(system, *restored), IsEmpty());
}

TEST(BackupAndRestore, ATargetContainerIsUsedAsItIs) {
  E2EMachine mac;
  const mcom::FilePath image = mac.Scratch("Backup.sparseimage");
  BackUpSystem(image);
  const mcom::DiskName usb = mac.Plug("usb-apfs");
  const std::optional<APFSContainerName> container =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{usb.disk, 2});
  ASSERT_TRUE(container.has_value());

  RestoreOnto(image, *container);
  EXPECT_THAT(mac.ContainerDifferences(mac.SystemContainer(), *container), IsEmpty());
}

TEST(BackupAndRestore, AnExistingImageFileIsReplacedOnlyByAFinishedOne) {
  E2EMachine mac;
  const mcom::FilePath image = mac.WriteScratch("Backup.sparseimage", "an older backup");
  ProgressLog progress;
  backup::PerformBackup(
      std::nullopt, image,
      [&](APFSContainerName source, APFSContainerName target, ProgressCallback callback) {
        // While the copy runs, the old backup is still there and the new one has another name.
        EXPECT_EQ(testing::TemporaryFolder::ReadFile(image), "an older backup");
        EXPECT_EQ(mac.ScratchNames().size(), 2u);
        ReplicateHere(source, target, std::move(callback));
      },
      progress.Callback());
  EXPECT_THAT(mac.ScratchNames(), testing::ElementsAre("Backup.sparseimage"));
  const mcom::DiskName blank = mac.Plug("usb-blank");
  RestoreOnto(image, APFSContainerName{blank});
  EXPECT_THAT(mac.ContainerDifferences(mac.SystemContainer(), ContainerOn(blank)), IsEmpty());
}

}  // namespace
}  // namespace e2e
