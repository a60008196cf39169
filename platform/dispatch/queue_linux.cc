#ifndef __linux__
#error "This file implements dispatch queues on Linux only."
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/queue_impl_linux.h"
#include "platform/dispatch/worker_pool_linux.h"

namespace dispatch {
namespace internal {
namespace {

thread_local QueueImpl* current_queue = nullptr;

// The global queue hands each item straight to the pool.
class GlobalQueueImpl final : public QueueImpl {
 public:
  GlobalQueueImpl() : QueueImpl(Kind::kGlobal, "com.apple.root.default-qos") {}

  void Enqueue(Work work) override {
    WorkerPool::Get().Submit([this, work = std::move(work)] {
      CurrentQueueScope scope(this);
      work();
    });
  }
};

// A serial queue keeps its own list and, while the list is not empty, exactly one drain
// running on the pool; the drain runs the items in order until the list is empty. The drain
// holds a reference to the queue, so a queue whose last Queue went away still runs what was
// queued.
class SerialQueueImpl final : public QueueImpl,
                              public std::enable_shared_from_this<SerialQueueImpl> {
 public:
  explicit SerialQueueImpl(std::string label) : QueueImpl(Kind::kSerial, std::move(label)) {}

  void Enqueue(Work work) override {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(work));
      if (draining_) return;
      draining_ = true;
    }
    WorkerPool::Get().Submit([self = shared_from_this()] { self->Drain(); });
  }

 private:
  void Drain() {
    CurrentQueueScope scope(this);
    for (;;) {
      Work work;
      {
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
          draining_ = false;
          return;
        }
        work = std::move(items_.front());
        items_.pop_front();
      }
      work();
    }
  }

  std::mutex mutex_;
  std::deque<Work> items_;
  bool draining_ = false;
};

GlobalQueueImpl& GlobalQueueObject() {
  // Never destroyed, like the pool: items may still run on it while the process exits.
  static GlobalQueueImpl* const queue = new GlobalQueueImpl;
  return *queue;
}

}  // namespace

void QueueImpl::SetSpecific(const void* key, void* value) {
  std::lock_guard lock(specific_mutex_);
  const auto entry = std::find_if(specifics_.begin(), specifics_.end(),
                                  [key](const auto& pair) { return pair.first == key; });
  if (entry != specifics_.end()) {
    if (value == nullptr) {
      specifics_.erase(entry);
    } else {
      entry->second = value;
    }
  } else if (value != nullptr) {
    specifics_.emplace_back(key, value);
  }
}

void* QueueImpl::GetSpecific(const void* key) const {
  std::lock_guard lock(specific_mutex_);
  for (const auto& [entry_key, value] : specifics_) {
    if (entry_key == key) return value;
  }
  return nullptr;
}

QueueImpl* CurrentQueue() {
  if (current_queue != nullptr) return current_queue;
  return IsMainThread() ? MainQueueObject() : nullptr;
}

CurrentQueueScope::CurrentQueueScope(QueueImpl* queue) : previous_(current_queue) {
  current_queue = queue;
}

CurrentQueueScope::~CurrentQueueScope() { current_queue = previous_; }

void FailMisuse(const char* message) {
  std::fprintf(stderr, "dispatch: %s\n", message);
  std::abort();
}

}  // namespace internal

const std::string& Queue::label() const { return impl_->label(); }

Queue GlobalQueue() {
  // The global queue object is never destroyed; the handle shares no ownership of it.
  static const std::shared_ptr<internal::QueueImpl> global(std::shared_ptr<internal::QueueImpl>(),
                                                           &internal::GlobalQueueObject());
  return Queue(global);
}

Queue CreateQueue(std::string label) {
  return Queue(std::make_shared<internal::SerialQueueImpl>(std::move(label)));
}

void Async(const Queue& queue, Work work) { queue.impl()->Enqueue(std::move(work)); }

void Sync(const Queue& queue, const Work& work) {
  internal::QueueImpl* const target = queue.impl().get();
  if (target->kind() == internal::QueueImpl::Kind::kGlobal) {
    internal::CurrentQueueScope scope(target);
    work();
    return;
  }
  if (internal::CurrentQueue() == target) {
    internal::FailMisuse("Sync called on the queue that the caller runs on; it would deadlock");
  }
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr failure;
  target->Enqueue([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    // Notified under the lock: the waiter's locals must outlive the notification.
    std::lock_guard lock(mutex);
    done = true;
    finished.notify_one();
  });
  std::unique_lock lock(mutex);
  finished.wait(lock, [&] { return done; });
  if (failure) std::rethrow_exception(failure);
}

void SetSpecific(const Queue& queue, const void* key, void* value) {
  queue.impl()->SetSpecific(key, value);
}

void* GetSpecific(const void* key) {
  const internal::QueueImpl* const queue = internal::CurrentQueue();
  return queue == nullptr ? nullptr : queue->GetSpecific(key);
}

void* GetSpecific(const Queue& queue, const void* key) { return queue.impl()->GetSpecific(key); }

}  // namespace dispatch
