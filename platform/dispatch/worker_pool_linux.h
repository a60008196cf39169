#pragma once

// Internal to the dispatch library: the threads that run the global queue's items and the
// serial queues' drains.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "platform/dispatch/queue.h"

namespace dispatch::internal {

// A pool that never lets an item wait while a worker could be started: Submit starts a new
// worker whenever more items are waiting than workers are idle, up to kMaxWorkerThreads.
// Workers that stay idle for kIdleSeconds end. The pool itself is never destroyed (see
// Get), so workers may still be running or blocked when the process exits.
class WorkerPool {
 public:
  static constexpr int kIdleSeconds = 10;

  // The one pool of the process. It is created on first use and deliberately never
  // destroyed: workers blocked in user code at exit must not find it gone, and everything
  // it holds stays reachable for the leak checker.
  static WorkerPool& Get();

  // Runs `work` on a worker as soon as one is free. Callable from any thread.
  void Submit(Work work);

 private:
  WorkerPool() = default;
  void Run();

  std::mutex mutex_;
  std::condition_variable work_available_;
  std::deque<Work> items_;
  size_t threads_ = 0;  // workers started and not yet ended
  size_t idle_ = 0;     // workers waiting for an item
};

}  // namespace dispatch::internal
