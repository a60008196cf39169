#pragma once

#include <chrono>
#include <cstdint>

// Points in time for waits and timers, in the form of the platform's dispatch_time_t: a
// count of nanoseconds on the monotonic clock (CLOCK_MONOTONIC, which does not jump when the
// wall clock is set), with two special values.
namespace dispatch {

using Time = uint64_t;

// A deadline that has always passed: a wait with it only tries (DISPATCH_TIME_NOW).
inline constexpr Time kNow = 0;
// A deadline that never comes (DISPATCH_TIME_FOREVER). As a timer interval it means "do not
// repeat"; as a timer start it means "never fire".
inline constexpr Time kForever = ~Time{0};

// The current time on the monotonic clock. Never kNow and never kForever.
Time Now();

// Now() + `delay`, saturated below kForever; a negative delay gives Now().
Time After(std::chrono::nanoseconds delay);

// `base` + `delay` (dispatch_time): kNow as base means Now(), kForever stays kForever, and
// the result saturates below kForever and above kNow.
Time After(Time base, std::chrono::nanoseconds delay);

// The same instant on std::chrono::steady_clock, which is the monotonic clock on Linux;
// used by the waits of this library. Not meaningful for kForever.
inline std::chrono::steady_clock::time_point ToSteadyClock(Time time) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(static_cast<int64_t>(time > INT64_MAX ? INT64_MAX : time))));
}

}  // namespace dispatch
