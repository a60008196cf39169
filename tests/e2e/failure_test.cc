// Every fault point of the disk tools the engine drives, for a backup and for a restore: the
// operation fails with a message naming the step, nothing stays attached, no partial file is
// left, the previous backup at the same path is intact, and a restore target is either
// untouched or reported as erased.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "core/backup/backup.h"
#include "core/backup/restore.h"
#include "core/foundation/error.h"
#include "tests/e2e/e2e_machine.h"
#include "tests/support/error_matchers.h"

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

struct Fault {
  const char* hook;
  const char* step;  // the operation that must be named
};

constexpr Fault kBackupFaults[] = {
    {"hdiutil.create", "CreateSparseImage"},
    {"hdiutil.attach", "AttachImage"},
    {"diskutil.createContainer", "CreateAPFSContainer"},
    {"asr.restore", "ReplicateContainer"},
    {"hdiutil.detach", "DetachImage"},
};
constexpr Fault kRestoreFaults[] = {
    {"hdiutil.attach", "AttachImage"},
    {"diskutil.createContainer", "CreateAPFSContainer"},
    {"asr.restore", "ReplicateContainer"},
    {"hdiutil.detach", "DetachImage"},
};
constexpr const char* kPoints[] = {"fail-before-start", "fail-at-start", "fail-after-percent:50",
                                   "fail-at-exit"};

void ExpectStepNamed(const Error& error, const char* step) {
  EXPECT_THAT(error.FullDescription(), HasSubstr(step));
  for (const Error* level = &error; level != nullptr; level = level->cause().get()) {
    EXPECT_FALSE(level->message().empty()) << error.FullDescription();
    EXPECT_NE(level->message().back(), '\n') << error.FullDescription();
  }
}

// A detach that the tool refuses, at whatever point, leaves the image attached: there is no
// other way to detach it. Only a detach that failed after its work is gone.
bool ImageStaysAttached(const Fault& fault, const std::string& point) {
  return std::string(fault.hook) == "hdiutil.detach" && point != "fail-at-exit";
}

class FaultTest : public testing::TestWithParam<std::tuple<size_t, const char*>> {};

class BackupFaultTest : public FaultTest {};

TEST_P(BackupFaultTest, FailsNamingTheStepAndKeepsThePreviousBackup) {
  const Fault& fault = kBackupFaults[std::get<0>(GetParam())];
  const std::string point = std::get<1>(GetParam());
  E2EMachine mac;
  const std::string previous = "the previous backup";
  const mcom::FilePath image = mac.WriteScratch("Backup.sparseimage", previous);
  mac.SetFault(fault.hook, point);

  const Error error = testing::ErrorThrownBy([&] { BackUpSystem(image); });
  ExpectStepNamed(error, fault.step);
  EXPECT_THAT(mac.ScratchNames(), ElementsAre("Backup.sparseimage"));
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(image), previous);
  EXPECT_EQ(mac.AttachedImages().size(), ImageStaysAttached(fault, point) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryHookAndPoint, BackupFaultTest,
                         testing::Combine(testing::Range<size_t>(0, std::size(kBackupFaults)),
                                          testing::ValuesIn(kPoints)));

class RestoreFaultTest : public FaultTest {
 protected:
  // One image for every case, made once on a machine of its own.
  static void SetUpTestSuite() {
    folder_ = std::make_unique<testing::TemporaryFolder>();
    E2EMachine mac;
    BackUpSystem(Image());
  }
  static void TearDownTestSuite() { folder_.reset(); }
  static mcom::FilePath Image() { return folder_->Join("Backup.sparseimage"); }

  static std::unique_ptr<testing::TemporaryFolder> folder_;
};
std::unique_ptr<testing::TemporaryFolder> RestoreFaultTest::folder_;

TEST_P(RestoreFaultTest, FailsNamingTheStepAndSaysWhetherTheTargetWasErased) {
  const Fault& fault = kRestoreFaults[std::get<0>(GetParam())];
  const std::string point = std::get<1>(GetParam());
  E2EMachine mac;
  // An HFS+ partition: the restore makes a container on it, so every tool has its turn.
  const mcom::DiskName usb = mac.Plug("usb-hfs");
  const mcom::DiskName target{usb.disk, 2};
  const std::string before = mac.DiskState(usb);
  const std::string image_before = FileSignature(Image());
  mac.SetFault(fault.hook, point);

  const Error error =
      testing::ErrorThrownBy([&] { RestoreOnto(Image(), APFSContainerName{target}); });
  ExpectStepNamed(error, fault.step);
  if (mac.DiskState(usb) != before) {
    // Changed: the user must hear what the target holds now.
    EXPECT_THAT(error.message(), testing::AnyOf(HasSubstr("was erased and holds an incomplete"),
                                                HasSubstr("holds a complete copy")));
  }
  EXPECT_EQ(FileSignature(Image()), image_before);
  EXPECT_EQ(mac.AttachedImages().size(), ImageStaysAttached(fault, point) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryHookAndPoint, RestoreFaultTest,
                         testing::Combine(testing::Range<size_t>(0, std::size(kRestoreFaults)),
                                          testing::ValuesIn(kPoints)));

}  // namespace
}  // namespace e2e
