#include "platform/dispatch/group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/dispatch/semaphore.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

dispatch::Time HangGuard() { return dispatch::After(seconds(10)); }

TEST(DispatchGroup, WaitAnswersWhetherTheWorkFinishedInTime) {
  dispatch::Group group;
  EXPECT_TRUE(group.Wait(dispatch::kNow)) << "a group without work has finished";

  dispatch::Semaphore release(0);
  std::atomic<int> finished{0};
  for (int i = 0; i < 4; ++i) {
    dispatch::GroupAsync(group, dispatch::GlobalQueue(), [&] {
      release.Wait(HangGuard());
      ++finished;
    });
  }
  // Blocked work cannot finish, whatever the machine's speed.
  EXPECT_FALSE(group.Wait(dispatch::kNow));
  EXPECT_FALSE(group.Wait(dispatch::After(milliseconds(20))));
  for (int i = 0; i < 4; ++i) release.Signal();
  EXPECT_TRUE(group.Wait(HangGuard()));
  EXPECT_EQ(finished, 4);
  EXPECT_TRUE(group.Wait(dispatch::kForever));
}

TEST(DispatchGroup, EnterAndLeaveCountLikeQueuedWork) {
  dispatch::Group group;
  group.Enter();
  group.Enter();
  group.Leave();
  EXPECT_FALSE(group.Wait(dispatch::kNow));
  group.Leave();
  EXPECT_TRUE(group.Wait(dispatch::kNow));
  // A finished group can be used again.
  group.Enter();
  EXPECT_FALSE(group.Wait(dispatch::kNow));
  group.Leave();
  EXPECT_TRUE(group.Wait(dispatch::kNow));
}

TEST(DispatchGroup, WorkCapturesAreReleasedBeforeTheGroupFinishes) {
  // A waiter may tear down what the work referred to as soon as Wait returns.
  dispatch::Group group;
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  dispatch::GroupAsync(group, dispatch::GlobalQueue(), [token = std::move(token)] {});
  ASSERT_TRUE(group.Wait(HangGuard()));
  EXPECT_TRUE(watch.expired());
}

TEST(DispatchGroup, NotifyRunsOnceAfterTheLastLeave) {
  dispatch::Group group;
  dispatch::Semaphore notified(0);
  std::atomic<int> notifications{0};
  std::atomic<bool> left{false};
  const dispatch::Queue queue = dispatch::CreateQueue("group.notify");
  group.Enter();
  group.Notify(queue, [&] {
    EXPECT_TRUE(left);
    ++notifications;
    notified.Signal();
  });
  left = true;
  group.Leave();
  ASSERT_TRUE(notified.Wait(HangGuard()));

  // On a group that has finished, a notification runs at once.
  group.Notify(queue, [&] {
    ++notifications;
    notified.Signal();
  });
  ASSERT_TRUE(notified.Wait(HangGuard()));
  // Leaving again after an Enter must not run the old notifications a second time.
  group.Enter();
  group.Leave();
  dispatch::Sync(queue, [] {});
  EXPECT_EQ(notifications, 2);
}

TEST(DispatchGroupDeathTest, MoreLeavesThanEntersEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        dispatch::Group group;
        group.Leave();
      },
      "Leave called more often than Group::Enter");
}

}  // namespace
