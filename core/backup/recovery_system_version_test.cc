#include "core/backup/recovery_system_version.h"

#include <gtest/gtest.h>

namespace {

testing::AssertionResult Is(const std::optional<RecoverySystemVersion>& version, uint32_t major,
                            uint32_t minor, uint32_t patch) {
  if (!version) return testing::AssertionFailure() << "no version";
  if (version->major != major || version->minor != minor || version->patch != patch) {
    return testing::AssertionFailure()
           << version->major << "." << version->minor << "." << version->patch;
  }
  return testing::AssertionSuccess();
}

TEST(ProductVersion, TwoOrThreeNumbers) {
  EXPECT_TRUE(Is(ParseProductVersion("10.15.7"), 10, 15, 7));
  EXPECT_TRUE(Is(ParseProductVersion("11.2"), 11, 2, 0));
  EXPECT_TRUE(Is(ParseProductVersion("10.3.9 (beta)"), 10, 3, 9));
  EXPECT_TRUE(Is(ParseProductVersion("12.0.beta"), 12, 0, 0));
  EXPECT_FALSE(ParseProductVersion("11").has_value());
  EXPECT_FALSE(ParseProductVersion("").has_value());
  EXPECT_FALSE(ParseProductVersion("macOS 11.2").has_value());
}

}  // namespace
