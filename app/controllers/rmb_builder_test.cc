// The recovery-disk window's builder: the media it offers as they come and go, and a build
// whose failure reaches the window.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/controllers/rmb_builder.h"
#include "core/backup/attached_image.h"
#include "core/backup/image_tools.h"
#include "sim/machine/media_plugging.h"
#include "tests/e2e/e2e_machine.h"

namespace app {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The reports of a monitor as text: "+disk2 Generic Flash Disk Media (32.02 GB)", "-disk2".
class Reports {
 public:
  RMBBuilder::MediaChanged Callback() {
    return [this](const RMBTargetMediaChange& change) {
      std::string line;
      if (const auto* inserted = std::get_if<RMBTargetMediaChange::Insertion>(&change.change)) {
        line = "+" + FormatDiskName(inserted->media.diskName) + " " + DisplayText(inserted->media);
      } else if (const auto* updated = std::get_if<RMBTargetMediaChange::Update>(&change.change)) {
        line = "~" + FormatDiskName(updated->media.diskName);
      } else {
        line =
            "-" + FormatDiskName(std::get<RMBTargetMediaChange::Removal>(change.change).diskName);
      }
      const std::lock_guard lock(mutex_);
      lines_.push_back(line);
      arrived_.notify_all();
    };
  }
  // The reports once there are `count` of them (or after 10 s).
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> lines_;
};

TEST(RMBMediaMonitor, ReportsExternalWritableMediaAsTheyComeAndGo) {
  e2e::E2EMachine mac;
  const mcom::DispatchQueue queue = dispatch::CreateQueue("rmb-monitor-test");
  Reports reports;
  auto monitor =
      std::make_unique<DiskArbitrationRMBTargetMonitor>(reports.Callback(), false, queue);
  // An attached image is no medium to build on, and the internal disk is not offered.
  const mcom::FilePath scratch = mac.Scratch("scratch.sparseimage");
  CreateSparseImage(64 << 20, scratch);
  const AttachedImage image = AttachImage(scratch, kAttachReadWrite);
  const mcom::DiskName usb = mac.Plug("usb-hfs");
  const std::string name = mcom::FormatDiskName(usb);
  EXPECT_THAT(reports.WaitFor(1), ElementsAre("+" + name + " Generic Flash Disk Media (32.02 GB)"));
  mac.machine().Change([&](sim::Model& model) { sim::UnplugMedium(mac.root(), model, usb); });
  EXPECT_THAT(reports.WaitFor(2), ElementsAre(::testing::_, "-" + name));

  // Once released, nothing more is reported.
  monitor.reset();
  mac.Plug("usb-blank");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(reports.WaitFor(0).size(), 2u);

  // With internal media shown, the Mac's own disk is offered as well.
  Reports all;
  const DiskArbitrationRMBTargetMonitor with_internal(all.Callback(), true, queue);
  EXPECT_THAT(all.WaitFor(2), ::testing::Contains(::testing::StartsWith("+disk0 APPLE SSD")));
}

TEST(RealRMBBuilder, ABuildReportsOnItsProgressAndFailsToTheWindow) {
  e2e::E2EMachine mac;
  // This test program is no application bundle, so the helper is not used and the build
  // fails, on another thread, with the reason.
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::optional<PlatformError>> outcome;
  const std::shared_ptr<Progress> progress = RealRMBBuilder().build(
      AppDiskName(mac.Plug("usb-blank")), [&](const std::optional<PlatformError>& error) {
        const std::lock_guard lock(mutex);
        outcome = error;
        done.notify_all();
      });
  EXPECT_EQ(progress->totalUnitCount(), 100u);
  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return outcome.has_value(); }));
  ASSERT_TRUE(*outcome);
  EXPECT_EQ((*outcome)->domain(), "BuildRecovery");
  EXPECT_THAT(mac.AttachedImages(), IsEmpty());
}

}  // namespace
}  // namespace app
