// The recovery system's version, read from inside the Base System image of the Recovery
// volume with the real image tools.

#include <gtest/gtest.h>

#include "core/backup/recovery_system_version.h"
#include "tests/e2e/e2e_machine.h"

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

}  // namespace
}  // namespace e2e
