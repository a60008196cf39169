#include "sim/tools/asr_fault.h"

#include <gtest/gtest.h>

namespace sim::tools {
namespace {

TEST(AsrFault, ReadsEveryPointWithItsNumber) {
  std::optional<AsrFault> fault = ParseAsrFault("fail-after-volume:2");
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->point, AsrFault::Point::kAfterVolume);
  EXPECT_FALSE(fault->FailsAfterVolume(1));
  EXPECT_TRUE(fault->FailsAfterVolume(2));
  EXPECT_EQ(fault->status, 1);
  EXPECT_EQ(fault->message, "Could not restore - Input/output error");

  fault = ParseAsrFault("fail-after-percent:40");
  ASSERT_TRUE(fault.has_value());
  EXPECT_FALSE(fault->FailsAtPercent(39));
  EXPECT_TRUE(fault->FailsAtPercent(40));
  EXPECT_TRUE(fault->FailsAtPercent(100));
  EXPECT_FALSE(fault->FailsAfterVolume(40));

  EXPECT_EQ(ParseAsrFault("fail-before-start")->point, AsrFault::Point::kBeforeStart);
  EXPECT_EQ(ParseAsrFault("fail-at-start")->point, AsrFault::Point::kAtStart);
  EXPECT_EQ(ParseAsrFault("fail-at-exit")->point, AsrFault::Point::kAtExit);
  EXPECT_TRUE(ParseAsrFault("fail-after-volume:0")->FailsAfterVolume(0));
}

TEST(AsrFault, ReadsStatusAndAMessageThatMayHoldSemicolons) {
  const std::optional<AsrFault> fault =
      ParseAsrFault("fail-at-start;status=7;message=Could not restore - a; b");
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->status, 7);
  EXPECT_EQ(fault->message, "Could not restore - a; b");
  EXPECT_EQ(ParseAsrFault("fail-at-exit;message=x;status=3")->message, "x;status=3");
  EXPECT_EQ(ParseAsrFault("fail-at-exit;status=255")->status, 255);
}

TEST(AsrFault, RefusesAnythingElse) {
  for (const char* value :
       {"", "fail", "fail-at-start:1", "fail-after-volume",
        "fail-after-volume:", "fail-after-volume:x", "fail-after-volume:-1",
        "fail-after-percent:100", "fail-after-percent:1x", "fail-at-exit;", "fail-at-exit;status=0",
        "fail-at-exit;status=256", "fail-at-exit;status=", "fail-at-exit;code=1",
        "fail-at-exit;message=", "fail-at-exit;message=two\nlines", "FAIL-AT-START"}) {
    EXPECT_FALSE(ParseAsrFault(value).has_value()) << value;
  }
}

}  // namespace
}  // namespace sim::tools
