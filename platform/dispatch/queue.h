#pragma once

#include <functional>
#include <memory>
#include <string>

// Queues of work, with the semantics of the platform's dispatch library where the system
// relies on them:
//
//   dispatch::Queue sessions = dispatch::CreateQueue("com.example.sessions");
//   dispatch::Async(sessions, [] { ... });              // runs later, in order, one at a time
//   dispatch::Async(dispatch::GlobalQueue(), [] { ... });  // runs concurrently with others
//
// There are three kinds of queue:
// - the global concurrent queue (default priority): every item runs as soon as possible on a
//   worker thread of its own. A worker is started whenever an item is queued and no worker
//   is idle, so items that block for minutes never hold up the others. At most
//   kMaxWorkerThreads workers exist at once; beyond that, items wait for a worker to become
//   free. Idle workers end after some seconds without work.
// - serial queues (CreateQueue): items run one at a time in the order they were queued, on
//   worker threads of the global pool (not always the same thread).
// - the main queue (main_queue.h): items run one at a time on the main thread.
//
// Process exit: the pool, the global and main queues and the event thread of the sources are
// never torn down. The process may end (exit() or returning from main) while workers are
// idle or blocked; what they hold stays reachable, so the leak checker reports nothing.
// Items still running then may see the program's static objects being destroyed, so a
// program (or a test) waits for its own work before it ends.
//
// An item must not let an exception escape, as with the platform's blocks: one that does
// ends the process (std::terminate). Sync is the exception: it hands the item's exception to
// its caller.
namespace dispatch {

namespace internal {
class QueueImpl;
}

using Work = std::function<void()>;

// The most worker threads the global pool runs at once.
inline constexpr int kMaxWorkerThreads = 512;

// A reference to a queue. Copies refer to the same queue; a serial queue lives as long as a
// reference or a queued item does. A default-constructed Queue refers to none and may only
// be assigned or tested.
class Queue {
 public:
  Queue() = default;
  explicit Queue(std::shared_ptr<internal::QueueImpl> impl) : impl_(std::move(impl)) {}

  explicit operator bool() const { return impl_ != nullptr; }
  // The label given at creation ("com.apple.root.default-qos" for the global queue,
  // "com.apple.main-thread" for the main queue).
  const std::string& label() const;

  friend bool operator==(const Queue& a, const Queue& b) { return a.impl_ == b.impl_; }

  const std::shared_ptr<internal::QueueImpl>& impl() const { return impl_; }

 private:
  std::shared_ptr<internal::QueueImpl> impl_;
};

// The global concurrent queue of default priority (dispatch_get_global_queue(0, 0)).
Queue GlobalQueue();

// A new serial queue (dispatch_queue_create with no attributes).
Queue CreateQueue(std::string label);

// Queues `work` on `queue` and returns at once (dispatch_async). Callable from any thread.
void Async(const Queue& queue, Work work);

// Queues `work` on `queue` and waits until it has run (dispatch_sync). On the global queue the
// work runs on the calling thread. An exception thrown by `work` is rethrown here.
//
// As with the platform, Sync onto the serial or main queue that the caller itself runs on
// can never finish; this layer detects that direct case and aborts the process with a
// message instead of hanging. Longer cycles (A waits for B, which waits for A) deadlock.
void Sync(const Queue& queue, const Work& work);

// Queue-specific data (dispatch_queue_set_specific): associates `value` with `key` on
// `queue`; a null value removes the key. Keys are compared by address, so a key is usually
// the address of a static variable. Values are not owned.
void SetSpecific(const Queue& queue, const void* key, void* value);

// The value for `key` of the queue the calling code runs on (dispatch_get_specific), or null
// when that queue has none or the code runs on no queue. A thread that serves the main queue
// (Main, DrainMainQueue, SetMainQueueDriver) counts as running on the main queue even
// between items, as the platform's main thread does. Lookups do not fall through from a
// serial queue to the global queue.
void* GetSpecific(const void* key);

// The value for `key` of `queue` (dispatch_queue_get_specific).
void* GetSpecific(const Queue& queue, const void* key);

}  // namespace dispatch
