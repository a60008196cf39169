#ifndef __linux__
#error "This file implements dispatch semaphores on Linux only."
#endif

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/semaphore.h"

namespace dispatch {
namespace internal {

// Signal hands a wake-up to one particular waiter rather than raising the count, so that a
// waiter that was woken cannot lose its wake-up to a thread arriving later, and Signal can
// tell whether it woke somebody.
class SemaphoreImpl {
 public:
  explicit SemaphoreImpl(long value) : value_(value < 0 ? 0 : value) {}

  bool Wait(Time deadline) {
    std::unique_lock lock(mutex_);
    if (value_ > 0) {
      --value_;
      return true;
    }
    if (deadline == kNow) return false;
    ++waiters_;
    const auto woken = [this] { return wakeups_ > 0; };
    if (deadline == kForever) {
      signalled_.wait(lock, woken);
    } else {
      signalled_.wait_until(lock, ToSteadyClock(deadline), woken);
    }
    --waiters_;
    // A wake-up that arrived together with the deadline is taken, never left behind.
    if (wakeups_ == 0) return false;
    --wakeups_;
    return true;
  }

  bool Signal() {
    std::lock_guard lock(mutex_);
    if (waiters_ <= wakeups_) {
      ++value_;
      return false;
    }
    ++wakeups_;
    // Notified under the lock: the woken waiter may free the semaphore as soon as it returns
    // (a semaphore on its stack, the signaller holding only a reference to it).
    signalled_.notify_one();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  long value_;
  long waiters_ = 0;  // threads inside Wait, woken or not
  long wakeups_ = 0;  // wake-ups handed out and not yet taken
};

}  // namespace internal

Semaphore::Semaphore(long value) : impl_(std::make_shared<internal::SemaphoreImpl>(value)) {}

bool Semaphore::Wait(Time deadline) const { return impl_->Wait(deadline); }

bool Semaphore::Signal() const { return impl_->Signal(); }

}  // namespace dispatch
