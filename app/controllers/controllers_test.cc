// The operation controllers and the bridge's conversions, with a controller that only
// records what it is asked.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>

#include "app/client/recovery_environment.h"
#include "app/controllers/operation_controllers.h"
#include "app/controllers/platform_error.h"
#include "app/controllers/product_name.h"
#include "app/controllers/result_texts.h"
#include "core/foundation/cf_url.h"
#include "tests/support/temporary_folder.h"

namespace app {
namespace {

using ::testing::MatchesRegex;

class RecordingController : public BackupController {
 public:
  bool isRunningInRecovery() const override { return in_recovery; }
  std::vector<APFSContainerInfo> sourceContainers() const override { return {}; }
  void performBackup(const std::optional<APFSContainerName>& source,
                     const mcom::FilePath& destination,
                     const std::shared_ptr<Progress>& progress) const override {
    backed_up = source;
    progress->setCompletedUnitCount(50);
    if (failure) std::rethrow_exception(failure);
    if (!destination.empty()) std::ofstream(destination.string()) << "12345";
  }
  std::vector<RestoreTargetInfo> restoreTargets() const override { return {}; }
  void performRestore(const mcom::FilePath&, const DiskName& target,
                      const std::shared_ptr<Progress>&) const override {
    restored = target;
    if (failure) std::rethrow_exception(failure);
  }
  void restartFromTarget(const RestoreTargetInfo& target) const override {
    restarted = DiskNameOf(target);
  }
  std::unique_ptr<RMBBuilder> makeRMBBuilder() const override { return nullptr; }
  bool hasFullDiskAccess() const override { return true; }

  bool in_recovery = false;
  std::exception_ptr failure;
  mutable std::optional<APFSContainerName> backed_up;
  mutable std::optional<DiskName> restored;
  mutable std::optional<DiskName> restarted;
};

constexpr char kTimeTaken[] = "[0-9]+:[0-9]{2}:[0-9]{2} (AM|PM)";

TEST(OperationControllers, ABackupEndsInTheResultTextsAndOffersARecoveryDiskOutsideRecovery) {
  ::testing::TemporaryFolder folder;
  auto controller = std::make_shared<RecordingController>();
  int opened = 0;
  const BackupOperationController backup =
      BackupOperationController::Make(controller, [&opened] { ++opened; });
  APFSContainerInfo source;
  source.name = APFSContainerName{DiskName{.major = 1, .minor = std::nullopt}};
  auto progress = std::make_shared<Progress>();

  OperationResult result = backup.perform(source, folder.Join("Backup.sparseimage"), progress);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.message, "Backup completed!");
  EXPECT_THAT(
      result.information,
      MatchesRegex(std::string("All data is backed up successfully\nTime taken: ") + kTimeTaken +
                   "\nBackup size: 5 bytes\nBackup date: .+, " + "[0-9]+:[0-9]{2} (AM|PM)"));
  EXPECT_EQ(controller->backed_up, source.name);
  EXPECT_EQ(progress->completedUnitCount(), 50u);
  ASSERT_TRUE(result.actionItem && result.accessory);
  EXPECT_EQ(result.actionItem->title, "Create Recovery Disk...");
  result.actionItem->action();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(result.accessory->image, "RecoveryMenu");

  // A size that cannot be read is no failure; in the recovery environment nothing is offered.
  controller->in_recovery = true;
  result = backup.perform(source, mcom::FilePath(), progress);
  EXPECT_TRUE(result.success);
  EXPECT_THAT(result.information, ::testing::HasSubstr("\nBackup size: --\n"));
  EXPECT_FALSE(result.actionItem || result.accessory);

  // A failure, nested or not the pipeline's own, is a failed result with one description.
  controller->failure = std::make_exception_ptr(PlatformError(
      Error("PerformBackup", "failed", Error("CreateSparseImage", "hdiutil said no"))));
  result = backup.perform(source, folder.Join("Other.sparseimage"), progress);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "Backup failed");
  EXPECT_EQ(result.information, "PerformBackup: failed: CreateSparseImage: hdiutil said no");
  EXPECT_FALSE(result.actionItem || result.accessory);
  controller->failure = std::make_exception_ptr(std::runtime_error("registry gone"));
  EXPECT_EQ(backup.perform(source, folder.Join("Third"), progress).information, "registry gone");
}

TEST(OperationControllers, ARestoreOffersToStartFromItsTarget) {
  auto controller = std::make_shared<RecordingController>();
  const RestoreOperationController restore = RestoreOperationController::Make(controller);
  EXPECT_TRUE(restore.resetSourceWhenDone);
  EXPECT_FALSE(restore.interruptionWarning);
  PartitionInfo partition;
  partition.device = DiskName{.major = 4, .minor = 2};
  const RestoreTargetInfo target = RestoreTargetInfo::partition(partition);
  auto progress = std::make_shared<Progress>();

  OperationResult result = restore.perform(mcom::FilePath("/b.sparseimage"), target, progress);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.message, "Restore completed! Restart your Mac!");
  EXPECT_THAT(
      result.information,
      MatchesRegex(std::string("All data is restored successfully!\nTime taken: ") + kTimeTaken));
  EXPECT_EQ(controller->restored, partition.device);
  ASSERT_TRUE(result.actionItem);
  EXPECT_EQ(result.actionItem->title, "Restart your Mac\u2026");
  EXPECT_FALSE(controller->restarted);
  result.actionItem->action();
  EXPECT_EQ(controller->restarted, partition.device);
  EXPECT_FALSE(result.accessory);

  controller->failure = std::make_exception_ptr(PlatformError(Error("PerformRestore", "no")));
  result = restore.perform(mcom::FilePath("/b.sparseimage"), target, progress);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "Restore failed");
  EXPECT_EQ(result.information, "PerformRestore: no");
  EXPECT_FALSE(result.actionItem);
}

TEST(ResultTexts, TimesAndSizesInThePlatformsStyles) {
  EXPECT_EQ(FormatElapsedTime(std::chrono::seconds(83)), "12:01:23 AM");
  EXPECT_EQ(FormatElapsedTime(std::chrono::seconds(13 * 3600 + 5 * 60 + 9)), "1:05:09 PM");
  EXPECT_EQ(FormatElapsedTime(std::chrono::hours(25)), "1:00:00 AM");

  ASSERT_EQ(::setenv("TZ", "UTC", 1), 0);
  ::tzset();
  EXPECT_EQ(FormatShortDateTime(std::chrono::system_clock::from_time_t(1'796'726'700)),
            "12/8/26, 10:45 AM");

  // The platform's own examples.
  for (const auto& [bytes, text] : std::vector<std::pair<int64_t, std::string>>{
           {0, "Zero KB"},
           {1, "1 byte"},
           {999, "999 bytes"},
           {1000, "1 KB"},
           {1023, "1 KB"},
           {11999, "12 KB"},
           {12345678, "12.3 MB"},
           {123456789, "123.5 MB"},
           {999900000, "999.9 MB"},
           {1234567898, "1.23 GB"},
           {12345678987, "12.35 GB"},
           {5500000000, "5.5 GB"},
           {-1234567898, "-1.23 GB"},
           {5'500'000'000'000'000'000, "5.5 EB"},
           {std::numeric_limits<int64_t>::min(), "-9.22 EB"},
       }) {
    EXPECT_EQ(FormatFileSize(bytes), text) << bytes;
  }
  EXPECT_EQ(FormatFileSize(std::nullopt), "--");
}

TEST(Bridge, ProgressFractionsErrorsAndTheEnvironmentAsTheScreensReadThem) {
  auto progress = std::make_shared<Progress>(100);
  const ProgressHandler handler(progress);
  const ProgressHandler copy = handler;
  handler(0.999);
  EXPECT_EQ(progress->completedUnitCount(), 99u);
  copy(std::string("Replicating (1/2)\u2026"));
  EXPECT_EQ(progress->localizedDescription(), "Replicating (1/2)\u2026");
  // Out of range values are held at the ends instead of wrapping to huge counts.
  for (const double fraction : {-0.5, std::nan(""), 7.0}) handler(fraction);
  EXPECT_EQ(progress->completedUnitCount(), 100u);
  handler(-0.5);
  EXPECT_EQ(progress->completedUnitCount(), 0u);
  EXPECT_EQ(progress->totalUnitCount(), 100u);

  const PlatformError error(Error("PerformRestore", "erased", Error("asr", "exited")));
  EXPECT_EQ(error.domain(), "PerformRestore");
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "PerformRestore: erased: asr: exited");
  EXPECT_EQ(error.error(), Error("PerformRestore", "erased", Error("asr", "exited")));

  for (const char* yes : {"YES", "yes", "true", "TRUE", "1", " 12", "-3"}) {
    EXPECT_TRUE(ReadsAsTrue(yes)) << yes;
  }
  for (const char* no : {"", "0", "-0", "NO", "false", "maybe", "0x0"}) {
    EXPECT_FALSE(ReadsAsTrue(no)) << no;
  }
  EXPECT_FALSE(ReadsAsTrue(nullptr));

  ::testing::TemporaryFolder folder;
  const mcom::FilePath bundle = folder.Join("Named.app");
  folder.WriteFile("Named.app/Contents/Info.plist",
                   "<plist version=\"1.0\"><dict><key>CFBundleName</key><string>Dorvane"
                   "</string></dict></plist>");
  folder.WriteFile("Unnamed.app/Contents/Info.plist",
                   "<plist version=\"1.0\"><dict><key>CFBundleName</key><integer>1</integer>"
                   "</dict></plist>");
  const auto name_of = [](const mcom::FilePath& path) {
    return ProductName(mcom::cf::Bundle::Create(mcom::cf::URLFromPath(path, true)));
  };
  EXPECT_EQ(name_of(bundle), "Dorvane");
  EXPECT_EQ(name_of(folder.Join("Unnamed.app")), "PLACEHOLER_PRODUCT_NAME");
}

// The screens read while the pipeline's thread writes.
TEST(Bridge, ProgressIsReadWhileItIsWritten) {
  auto progress = std::make_shared<Progress>(100);
  std::atomic<int> observed{0};
  progress->setObserver([&observed](const Progress& changed) {
    if (changed.completedUnitCount() <= 100) ++observed;
  });
  std::thread writer([progress] {
    const ProgressHandler handler(progress);
    for (int step = 0; step <= 100; ++step) {
      handler(step / 100.0);
      handler("step " + std::to_string(step));
    }
  });
  double last = 0;
  while (progress->completedUnitCount() < 100) {
    const double fraction = progress->fractionCompleted();
    EXPECT_GE(fraction, last);
    last = fraction;
    (void)progress->localizedDescription();
  }
  writer.join();
  EXPECT_EQ(observed.load(), 202);
  EXPECT_EQ(progress->localizedDescription(), "step 100");
}

}  // namespace
}  // namespace app
