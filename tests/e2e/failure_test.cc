// Failures of the disk tools, injected through the machine's fault hooks: each gives its
// exact Error, and nothing is left behind (no attached image, no image file after a failed
// backup, the target untouched when the image is unusable).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/backup/backup.h"
#include "core/backup/image_tools.h"
#include "core/backup/restore.h"
#include "core/discovery/apfs_container.h"
#include "core/foundation/error.h"
#include "tests/e2e/e2e_machine.h"

namespace e2e {
namespace {

using testing::IsEmpty;
using testing::StartsWith;

bool Exists(const mcom::FilePath& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

// The Error `operation` throws; fails the test when it throws none.
template <typename Operation>
Error ErrorOf(Operation operation) {
  try {
    operation();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "no Error was thrown";
  return Error("", "");
}

class BackupFailure : public testing::Test {
 protected:
  Error Backup() {
    return ErrorOf(
        [&] { backup::PerformBackup(std::nullopt, image_, ReplicateHere, [](ProgressUpdate) {}); });
  }

  // Nothing of the failed backup is left.
  void ExpectNothingLeft() {
    EXPECT_FALSE(Exists(image_));
    EXPECT_THAT(mac_.AttachedImages(), IsEmpty());
  }

  E2EMachine mac_;
  mcom::FilePath image_ = mac_.Scratch("Backup.sparseimage");
};

TEST_F(BackupFailure, ImageCreation) {
  mac_.SetFault("hdiutil.create", "fail:No space left on device");
  const Error error = Backup();
  EXPECT_EQ(error.operation(), "CreateSparseImage");
  EXPECT_EQ(error.message(), "failed to create image at " + image_.string() +
                                 ": hdiutil: create failed - No space left on device\n");
  ExpectNothingLeft();
}

TEST_F(BackupFailure, Attach) {
  mac_.SetFault("hdiutil.attach", "fail:Resource temporarily unavailable");
  const Error error = Backup();
  EXPECT_EQ(error.operation(), "AttachImage");
  EXPECT_EQ(error.message(), "failed to attach image at " + image_.string() +
                                 ": hdiutil: attach failed - Resource temporarily unavailable\n");
  ExpectNothingLeft();
}

TEST_F(BackupFailure, ContainerCreation) {
  mac_.SetFault("diskutil.createContainer", "fail:Unable to create a new APFS container");
  const Error error = Backup();
  EXPECT_EQ(error.operation(), "CreateAPFSContainer");
  EXPECT_THAT(error.message(), StartsWith("failed to create APFS container on disk"));
  EXPECT_THAT(error.message(), testing::HasSubstr("Unable to create a new APFS container"));
  ExpectNothingLeft();
}

TEST_F(BackupFailure, ReplicationHalfWay) {
  mac_.SetFault("asr.restore",
                "fail-after-percent:50;status=5;message=Could not restore - Bad file descriptor");
  const Error error = Backup();
  EXPECT_EQ(error.operation(), "ReplicateContainer");
  EXPECT_THAT(error.message(), testing::HasSubstr("Could not restore - Bad file descriptor"));
  ExpectNothingLeft();
}

class RestoreFailure : public testing::Test {
 protected:
  void SetUp() override {
    backup::PerformBackup(std::nullopt, image_, ReplicateHere, [](ProgressUpdate) {});
    target_ = mac_.Plug("usb-apfs");
    before_ = mac_.machine().Read();
  }

  Error Restore(const mcom::FilePath& image, mcom::DiskName target) {
    return ErrorOf([&] {
      PerformRestore(image, APFSContainerName{target}, ReplicateHere, [](ProgressUpdate) {});
    });
  }

  // The target still holds what it held before: the same container, volumes and files.
  void ExpectTargetUntouched() {
    const sim::Model now = mac_.machine().Read();
    ASSERT_EQ(now.volumes.size(), before_.volumes.size());
    for (size_t i = 0; i < now.volumes.size(); ++i) {
      EXPECT_EQ(now.volumes[i].uuid, before_.volumes[i].uuid);
      EXPECT_EQ(now.volumes[i].used, before_.volumes[i].used);
    }
    EXPECT_THAT(mac_.AttachedImages(), IsEmpty());
  }

  E2EMachine mac_;
  mcom::FilePath image_ = mac_.Scratch("Backup.sparseimage");
  mcom::DiskName target_;
  sim::Model before_;
};

TEST_F(RestoreFailure, AnImageThatCannotBeAttached) {
  mac_.SetFault("hdiutil.attach", "fail:Permission denied");
  const Error error = Restore(image_, target_);
  EXPECT_EQ(error.operation(), "AttachImage");
  ExpectTargetUntouched();
  EXPECT_TRUE(Exists(image_));  // a restore never removes its image
}

TEST_F(RestoreFailure, AnImageWithoutAContainer) {
  const mcom::FilePath empty = mac_.Scratch("Empty.sparseimage");
  CreateSparseImage(100 * 1024 * 1024, empty);
  const Error error = Restore(empty, target_);
  EXPECT_EQ(error, Error("PerformRestore", "no APFS container in image at " + empty.string()));
  ExpectTargetUntouched();
}

TEST_F(RestoreFailure, ReplicationHalfWayLeavesTheImageIntact) {
  mac_.SetFault("asr.restore", "fail-after-percent:50");
  const Error error = Restore(image_, mcom::DiskName{target_.disk, 2});
  EXPECT_EQ(error.operation(), "ReplicateContainer");
  EXPECT_THAT(mac_.AttachedImages(), IsEmpty());

  // The image is as good as before: restoring it again, without the fault, succeeds.
  mac_.SetFault("asr.restore", "");
  PerformRestore(image_, APFSContainerName{mcom::DiskName{target_.disk, 2}}, ReplicateHere,
                 [](ProgressUpdate) {});
  const std::optional<APFSContainerName> restored =
      mcom::FindAPFSContainerOnDisk(mcom::DiskName{target_.disk, 2});
  ASSERT_TRUE(restored.has_value());
  EXPECT_THAT(mac_.ContainerDifferences(mac_.SystemContainer(), *restored), IsEmpty());
}

}  // namespace
}  // namespace e2e
