#ifndef __linux__
#error "This file implements dispatch time on Linux only."
#endif

#include <time.h>

#include "platform/dispatch/time.h"

namespace dispatch {

// The waits of this library use std::chrono::steady_clock and the timers use timerfd on
// CLOCK_MONOTONIC; both must read the same clock for deadlines to mean the same instant.
// libstdc++ implements steady_clock with CLOCK_MONOTONIC on Linux.
Time Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const Time time = static_cast<Time>(now.tv_sec) * 1'000'000'000u + static_cast<Time>(now.tv_nsec);
  return time == kNow ? 1 : time;
}

Time After(std::chrono::nanoseconds delay) { return After(kNow, delay); }

Time After(Time base, std::chrono::nanoseconds delay) {
  if (base == kForever) return kForever;
  if (base == kNow) base = Now();
  const int64_t nanoseconds = delay.count();
  if (nanoseconds >= 0) {
    const auto amount = static_cast<Time>(nanoseconds);
    return amount >= kForever - base ? kForever - 1 : base + amount;
  }
  const Time amount = static_cast<Time>(-(nanoseconds + 1)) + 1;
  return amount >= base ? 1 : base - amount;
}

}  // namespace dispatch
