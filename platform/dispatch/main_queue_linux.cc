#ifndef __linux__
#error "This file implements the dispatch main queue on Linux only."
#endif

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue_impl_linux.h"

namespace dispatch {
namespace internal {
namespace {

thread_local bool is_main_thread = false;

using Driver = std::shared_ptr<const std::function<void()>>;

// Items wait in a list until the main thread takes them: Main() waits on a condition
// variable, a driver is told through its wake function.
class MainQueueImpl final : public QueueImpl {
 public:
  MainQueueImpl() : QueueImpl(Kind::kMain, "com.apple.main-thread") {}

  void Enqueue(Work work) override {
    Driver wake;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(work));
      if (driver_ && !drain_requested_) {
        drain_requested_ = true;
        wake = driver_;
      }
    }
    item_queued_.notify_one();
    // Called outside the lock: the driver may queue work itself or take locks of its own.
    if (wake) (*wake)();
  }

  void SetDriver(std::function<void()> wake) {
    Driver call_now;
    {
      std::lock_guard lock(mutex_);
      driver_ = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
      drain_requested_ = false;
      if (driver_ && !items_.empty()) {
        drain_requested_ = true;
        call_now = driver_;
      }
    }
    if (call_now) (*call_now)();
  }

  size_t Drain() {
    size_t count;
    {
      std::lock_guard lock(mutex_);
      drain_requested_ = false;
      count = items_.size();
    }
    for (size_t ran = 0; ran < count; ++ran) RunOne();
    return count;
  }

  [[noreturn]] void Serve() {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        item_queued_.wait(lock, [this] { return !items_.empty(); });
      }
      Drain();
    }
  }

 private:
  void RunOne() {
    Work work;
    {
      std::lock_guard lock(mutex_);
      work = std::move(items_.front());
      items_.pop_front();
    }
    CurrentQueueScope scope(this);
    work();
  }

  std::mutex mutex_;
  std::condition_variable item_queued_;
  std::deque<Work> items_;
  Driver driver_;
  bool drain_requested_ = false;
};

MainQueueImpl& TheMainQueue() {
  // Never destroyed: other threads may queue onto it while the process exits.
  static MainQueueImpl* const queue = new MainQueueImpl;
  return *queue;
}

}  // namespace

QueueImpl* MainQueueObject() { return &TheMainQueue(); }

// The thread is not renamed: on the process's first thread that would rename the process.
void MarkMainThread() { is_main_thread = true; }

bool IsMainThread() { return is_main_thread; }

}  // namespace internal

Queue MainQueue() {
  static const std::shared_ptr<internal::QueueImpl> main(std::shared_ptr<internal::QueueImpl>(),
                                                         &internal::TheMainQueue());
  return Queue(main);
}

void Main() {
  internal::MarkMainThread();
  internal::TheMainQueue().Serve();
}

void SetMainQueueDriver(std::function<void()> wake) {
  internal::MarkMainThread();
  internal::TheMainQueue().SetDriver(std::move(wake));
}

size_t DrainMainQueue() {
  internal::MarkMainThread();
  return internal::TheMainQueue().Drain();
}

}  // namespace dispatch
