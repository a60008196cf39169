#include "transport/promise.h"

#include <gmock/gmock.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace mach {
namespace {

TEST(PromiseTest, AnswersOnceWhateverTheNumberOfSetters) {
  std::atomic<int> replies{0};
  std::atomic<int> value{-1};
  const Promise<int> promise([&](int answer) {
    ++replies;
    value = answer;
  });
  EXPECT_FALSE(promise.IsSet());
  std::vector<std::thread> setters;
  for (int index = 0; index < 8; ++index) {
    setters.emplace_back([promise, index] { promise.SetValue(index); });
  }
  for (std::thread& setter : setters) setter.join();
  EXPECT_TRUE(promise.IsSet());
  EXPECT_EQ(replies, 1);
  EXPECT_GE(value, 0);
}

TEST(PromiseTest, ReleasesWhatTheReplyHeldOnceSetOrForgotten) {
  auto held = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = held;
  {
    Promise<> promise([held] {});
    held.reset();
    const Promise<> copy = promise;
    copy.SetValue();
    // The reply went: what it held is released although copies of the promise remain.
    EXPECT_TRUE(watch.expired());
  }
  auto forgotten = std::make_shared<int>(0);
  const std::weak_ptr<int> watch_forgotten = forgotten;
  {
    Promise<> promise([forgotten] {});
    forgotten.reset();
    EXPECT_FALSE(watch_forgotten.expired());
  }
  EXPECT_TRUE(watch_forgotten.expired());
}

}  // namespace
}  // namespace mach
