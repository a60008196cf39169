#include "platform/dispatch/time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(DispatchTime, NowMovesForwardAvoidsTheSpecialValuesAndIsTheSteadyClocksInstant) {
  const auto before = std::chrono::steady_clock::now();
  const dispatch::Time first = dispatch::Now();
  const dispatch::Time second = dispatch::Now();
  const auto after = std::chrono::steady_clock::now();
  EXPECT_LE(first, second);
  EXPECT_NE(first, dispatch::kNow);
  EXPECT_NE(second, dispatch::kForever);
  EXPECT_LE(before, dispatch::ToSteadyClock(first));
  EXPECT_LE(dispatch::ToSteadyClock(second), after);
}

TEST(DispatchTime, AfterAddsToItsBase) {
  EXPECT_EQ(dispatch::After(1000, nanoseconds(500)), 1500u);
  EXPECT_EQ(dispatch::After(1000, nanoseconds(-400)), 600u);
  const dispatch::Time before = dispatch::Now();
  const dispatch::Time later = dispatch::After(seconds(3600));
  EXPECT_GE(later, before + 3600ull * 1'000'000'000ull);
  EXPECT_GE(dispatch::After(dispatch::kNow, seconds(1)), before + 1'000'000'000ull);
}

TEST(DispatchTime, AfterSaturatesInsteadOfWrapping) {
  // Overflow must not turn a far deadline into one in the past, nor into "forever".
  EXPECT_EQ(dispatch::After(dispatch::kForever - 10, nanoseconds(100)), dispatch::kForever - 1);
  EXPECT_EQ(dispatch::After(dispatch::kForever, nanoseconds(-100)), dispatch::kForever);
  EXPECT_EQ(dispatch::After(50, nanoseconds(-100)), 1u);
  EXPECT_EQ(dispatch::After(50, nanoseconds::min()), 1u);
  EXPECT_EQ(dispatch::After(50, nanoseconds::max()), uint64_t{50} + uint64_t{INT64_MAX});
  EXPECT_EQ(dispatch::After(dispatch::kForever / 2 + 10, nanoseconds::max()),
            dispatch::kForever - 1);
  EXPECT_GE(dispatch::After(nanoseconds(-5)), 1u);
}

}  // namespace
