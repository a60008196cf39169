#ifndef __linux__
#error "This file implements dispatch groups on Linux only."
#endif

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/group.h"
#include "platform/dispatch/queue_impl_linux.h"

namespace dispatch {
namespace internal {

class GroupImpl {
 public:
  void Enter() {
    std::lock_guard lock(mutex_);
    ++count_;
  }

  void Leave() {
    std::vector<std::pair<Queue, Work>> notifications;
    {
      std::lock_guard lock(mutex_);
      if (count_ == 0) FailMisuse("Group::Leave called more often than Group::Enter");
      if (--count_ > 0) return;
      notifications.swap(notifications_);
      finished_.notify_all();
    }
    // Submitted outside the lock: the notified work may use the group at once.
    for (auto& [queue, work] : notifications) Async(queue, std::move(work));
  }

  bool Wait(Time deadline) {
    std::unique_lock lock(mutex_);
    const auto done = [this] { return count_ == 0; };
    if (deadline == kForever) {
      finished_.wait(lock, done);
      return true;
    }
    if (deadline == kNow) return done();
    return finished_.wait_until(lock, ToSteadyClock(deadline), done);
  }

  void Notify(const Queue& queue, Work work) {
    {
      std::lock_guard lock(mutex_);
      if (count_ > 0) {
        notifications_.emplace_back(queue, std::move(work));
        return;
      }
    }
    Async(queue, std::move(work));
  }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  unsigned long count_ = 0;
  std::vector<std::pair<Queue, Work>> notifications_;
};

}  // namespace internal

Group::Group() : impl_(std::make_shared<internal::GroupImpl>()) {}

void Group::Enter() const { impl_->Enter(); }

void Group::Leave() const { impl_->Leave(); }

bool Group::Wait(Time deadline) const { return impl_->Wait(deadline); }

void Group::Notify(const Queue& queue, Work work) const { impl_->Notify(queue, std::move(work)); }

void GroupAsync(const Group& group, const Queue& queue, Work work) {
  group.Enter();
  Async(queue, [group, work = std::move(work)]() mutable {
    work();
    // Whatever the work captured is released before the group counts it as finished, so
    // that a waiter may tear down what the captures refer to.
    work = nullptr;
    group.Leave();
  });
}

}  // namespace dispatch
