#include "platform/dispatch/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

dispatch::Time Soon() { return dispatch::After(milliseconds(20)); }
dispatch::Time HangGuard() { return dispatch::After(seconds(10)); }

TEST(DispatchSemaphore, CountsSignalsWithoutWaitersAndTimedOutWaitsStealNone) {
  dispatch::Semaphore semaphore(1);
  EXPECT_TRUE(semaphore.Wait(dispatch::kNow));
  EXPECT_FALSE(semaphore.Wait(dispatch::kNow));
  EXPECT_FALSE(semaphore.Signal());  // nobody waits: the count goes up
  EXPECT_FALSE(semaphore.Signal());
  EXPECT_TRUE(semaphore.Wait(dispatch::kNow));
  EXPECT_TRUE(semaphore.Wait(Soon()));
  EXPECT_FALSE(semaphore.Wait(dispatch::kNow));

  EXPECT_FALSE(semaphore.Wait(Soon()));
  // The timed-out waiter is gone: this signal finds nobody and is kept.
  EXPECT_FALSE(semaphore.Signal());
  EXPECT_TRUE(semaphore.Wait(dispatch::kNow));
}

TEST(DispatchSemaphore, SignalReportsThatItWokeABlockedWaiter) {
  // A waiter can only be woken once it blocks, and nothing tells us when that happens; so
  // signal until a signal reports a waiter, taking back every signal that found none.
  bool woke = false;
  for (int round = 0; round < 100 && !woke; ++round) {
    dispatch::Semaphore semaphore(0);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
      EXPECT_TRUE(semaphore.Wait(HangGuard()));
      returned = true;
    });
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (semaphore.Signal()) {
        woke = true;
        break;
      }
      // Not blocked yet; if the waiter took this signal without blocking, start over.
      if (!semaphore.Wait(dispatch::kNow)) break;
      std::this_thread::sleep_for(milliseconds(1));
    }
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(semaphore.Wait(dispatch::kNow)) << "a signal was counted twice";
  }
  EXPECT_TRUE(woke);
}

TEST(DispatchSemaphore, EachSignalReleasesOneWaiter) {
  constexpr int kWaiters = 8;
  dispatch::Semaphore semaphore(0);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (semaphore.Wait(HangGuard())) ++released;
    });
  }
  for (int i = 0; i < kWaiters; ++i) semaphore.Signal();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released, kWaiters);
  EXPECT_FALSE(semaphore.Wait(dispatch::kNow));
  // Copies share one count.
  const dispatch::Semaphore copy = semaphore;
  copy.Signal();
  EXPECT_TRUE(semaphore.Wait(dispatch::kNow));
  EXPECT_FALSE(copy.Wait(dispatch::kNow));
}

}  // namespace
