#include "platform/dispatch/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/group.h"
#include "platform/dispatch/semaphore.h"

namespace {

using std::chrono::seconds;

dispatch::Time HangGuard() { return dispatch::After(seconds(10)); }

TEST(DispatchGlobalQueue, BlockedItemsNeverHoldUpOthers) {
  // A replication blocks its worker for minutes; other requests must still run.
  constexpr int kBlocked = 64;
  dispatch::Semaphore started(0);
  dispatch::Semaphore release(0);
  dispatch::Group blocked;
  for (int i = 0; i < kBlocked; ++i) {
    dispatch::GroupAsync(blocked, dispatch::GlobalQueue(), [=] {
      started.Signal();
      release.Wait(dispatch::After(seconds(60)));
    });
  }
  for (int i = 0; i < kBlocked; ++i) ASSERT_TRUE(started.Wait(HangGuard())) << i;

  dispatch::Semaphore ran(0);
  dispatch::Async(dispatch::GlobalQueue(), [=] { ran.Signal(); });
  EXPECT_TRUE(ran.Wait(HangGuard())) << "item 65 never ran while 64 items blocked";

  for (int i = 0; i < kBlocked; ++i) release.Signal();
  EXPECT_TRUE(blocked.Wait(HangGuard()));
}

TEST(DispatchGlobalQueue, RunsItemsConcurrently) {
  // Two items that each wait for the other can only finish when they run at the same time.
  dispatch::Semaphore first(0);
  dispatch::Semaphore second(0);
  dispatch::Group group;
  std::atomic<int> met{0};
  dispatch::GroupAsync(group, dispatch::GlobalQueue(), [&] {
    second.Signal();
    if (first.Wait(HangGuard())) ++met;
  });
  dispatch::GroupAsync(group, dispatch::GlobalQueue(), [&] {
    first.Signal();
    if (second.Wait(HangGuard())) ++met;
  });
  ASSERT_TRUE(group.Wait(dispatch::After(seconds(30))));
  EXPECT_EQ(met, 2);
}

TEST(DispatchSerialQueue, RunsItemsInOrderOneAtATimeUnderLoad) {
  constexpr int kProducers = 4;
  constexpr int kItems = 500;
  const dispatch::Queue queue = dispatch::CreateQueue("serial.load");
  EXPECT_EQ(queue.label(), "serial.load");
  std::mutex mutex;
  std::vector<std::pair<int, int>> order;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  // Background load on the pool, so that the queue's drain competes for workers.
  dispatch::Group load;
  for (int i = 0; i < 32; ++i) {
    dispatch::GroupAsync(load, dispatch::GlobalQueue(), [] {
      volatile int spin = 0;
      for (int j = 0; j < 100000; ++j) spin = spin + 1;
    });
  }
  std::vector<std::thread> producers;
  for (int producer = 0; producer < kProducers; ++producer) {
    producers.emplace_back([&, producer] {
      for (int item = 0; item < kItems; ++item) {
        dispatch::Async(queue, [&, producer, item] {
          if (inside.fetch_add(1) != 0) ++overlaps;
          {
            std::lock_guard lock(mutex);
            order.emplace_back(producer, item);
          }
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  dispatch::Sync(queue, [] {});  // everything queued before has run
  ASSERT_TRUE(load.Wait(dispatch::After(seconds(60))));

  EXPECT_EQ(overlaps, 0);
  ASSERT_EQ(order.size(), static_cast<size_t>(kProducers * kItems));
  std::vector<int> next(kProducers, 0);
  for (const auto& [producer, item] : order) {
    ASSERT_EQ(item, next[producer]) << "producer " << producer << " out of order";
    ++next[producer];
  }
}

TEST(DispatchSerialQueue, QueuedWorkRunsAfterTheLastReferenceIsGone) {
  dispatch::Semaphore gate(0);
  dispatch::Semaphore done(0);
  std::atomic<int> ran{0};
  {
    const dispatch::Queue queue = dispatch::CreateQueue("serial.orphan");
    dispatch::Async(queue, [=] { gate.Wait(dispatch::After(seconds(10))); });
    for (int i = 0; i < 3; ++i) dispatch::Async(queue, [&] { ++ran; });
    dispatch::Async(queue, [=] { done.Signal(); });
  }
  gate.Signal();
  ASSERT_TRUE(done.Wait(HangGuard()));
  EXPECT_EQ(ran, 3);
}

TEST(DispatchSync, ReturnsAfterTheWorkRanAndPassesExceptionsOn) {
  const dispatch::Queue queue = dispatch::CreateQueue("sync.target");
  int value = 0;
  dispatch::Sync(queue, [&] { value = 42; });
  EXPECT_EQ(value, 42);
  EXPECT_THROW(dispatch::Sync(queue, [] { throw std::runtime_error("from the queue"); }),
               std::runtime_error);
  // The queue survives an item that threw through Sync.
  dispatch::Sync(queue, [&] { value = 7; });
  EXPECT_EQ(value, 7);

  // Sync onto the global queue from an item of the global queue runs inline.
  dispatch::Semaphore done(0);
  dispatch::Async(dispatch::GlobalQueue(), [&] {
    dispatch::Sync(dispatch::GlobalQueue(), [&] { value = 9; });
    dispatch::Sync(queue, [&] { ++value; });
    done.Signal();
  });
  ASSERT_TRUE(done.Wait(HangGuard()));
  EXPECT_EQ(value, 10);
}

TEST(DispatchSyncDeathTest, SyncOntoTheCallersOwnQueueEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        const dispatch::Queue queue = dispatch::CreateQueue("sync.self");
        dispatch::Sync(queue, [&] { dispatch::Sync(queue, [] {}); });
      },
      "would deadlock");
}

TEST(DispatchSpecific, AnswersForTheQueueTheCodeRunsOn) {
  static int key;
  static int other_key;
  int serial_value = 1;
  const dispatch::Queue serial = dispatch::CreateQueue("specific.serial");
  const dispatch::Queue other = dispatch::CreateQueue("specific.other");
  dispatch::SetSpecific(serial, &key, &serial_value);
  EXPECT_EQ(dispatch::GetSpecific(serial, &key), &serial_value);
  EXPECT_EQ(dispatch::GetSpecific(serial, &other_key), nullptr);
  EXPECT_EQ(dispatch::GetSpecific(other, &key), nullptr);

  void* on_serial = nullptr;
  void* on_other = nullptr;
  void* on_global = &key;
  void* nested = nullptr;
  dispatch::Sync(serial, [&] {
    on_serial = dispatch::GetSpecific(&key);
    // Work of another queue, started from here, answers for its own queue.
    dispatch::Sync(other, [&] { on_other = dispatch::GetSpecific(&key); });
    nested = dispatch::GetSpecific(&key);
  });
  dispatch::Semaphore done(0);
  dispatch::Async(dispatch::GlobalQueue(), [&] {
    on_global = dispatch::GetSpecific(&key);
    done.Signal();
  });
  ASSERT_TRUE(done.Wait(HangGuard()));
  EXPECT_EQ(on_serial, &serial_value);
  EXPECT_EQ(on_other, nullptr);
  EXPECT_EQ(nested, &serial_value);
  EXPECT_EQ(on_global, nullptr);

  void* on_plain_thread = &key;
  std::thread([&] { on_plain_thread = dispatch::GetSpecific(&key); }).join();
  EXPECT_EQ(on_plain_thread, nullptr);

  dispatch::SetSpecific(serial, &key, nullptr);
  EXPECT_EQ(dispatch::GetSpecific(serial, &key), nullptr);
}

}  // namespace
