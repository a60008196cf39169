// The recovery system's version, read from inside the Base System image of the Recovery
// volume with the real image tools.

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include "app/client/remote_operations.h"
#include "core/backup/recovery_system_version.h"
#include "sim/machine/test_machine.h"
#include "tests/e2e/e2e_machine.h"
#include "tests/support/temporary_folder.h"

namespace e2e {
namespace {

TEST(RecoverySystemVersion, ReadFromTheBaseSystemImage) {
  E2EMachine mac;
  const std::optional<RecoverySystemVersion> version = ReadRecoverySystemVersion();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->major, 10u);
  EXPECT_EQ(version->minor, 15u);
  EXPECT_EQ(version->patch, 7u);
  // Everything it attached and mounted is gone again.
  EXPECT_TRUE(mac.AttachedImages().empty());
  for (const sim::Volume& volume : mac.machine().Read().volumes) {
    if (volume.HasRole("Recovery")) {
      EXPECT_FALSE(volume.is_mounted());
    }
  }
}

TEST(RecoverySystemVersion, NoneWhenTheImageCannotBeAttached) {
  E2EMachine mac;
  mac.SetFault("hdiutil.attach", "fail");
  EXPECT_FALSE(ReadRecoverySystemVersion().has_value());
  EXPECT_TRUE(mac.AttachedImages().empty());
}

// A recovery disk made from a recovery system older than 10.15 could not run the
// application: the request never reaches the helper (no launcher runs here, so a request
// would have failed for want of a session instead).
TEST(RecoverySystemVersion, AnOlderOneStopsTheRecoveryDiskBeforeTheHelperIsAsked) {
  sim::Fixture fixture = sim::testing::TestFixture("intel-mac");
  fixture.facts.product_version = "10.14.6";
  E2EMachine mac(fixture);
  const mcom::DiskName usb = mac.Plug("usb-blank");
  const std::optional<Error> error = BuildRecovery(usb, [](const ProgressUpdate&) {});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->FullDescription(),
            "BuildRecovery: Recovery volume upgrade required. Current Recovery volume version: "
            "10.14.6");
  EXPECT_THAT(testing::TemporaryFolder::ReadFile(mac.root().Join("private/var/log/system.log")),
              ::testing::Not(::testing::HasSubstr("Prepare helper")));
  EXPECT_TRUE(mac.AttachedImages().empty());
}

}  // namespace
}  // namespace e2e
