#ifndef __linux__
#error "This file implements the dispatch worker pool on Linux only."
#endif

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "platform/dispatch/worker_pool_linux.h"

namespace dispatch::internal {

WorkerPool& WorkerPool::Get() {
  static WorkerPool* const pool = new WorkerPool;
  return *pool;
}

void WorkerPool::Submit(Work work) {
  bool start_worker = false;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
    // Every waiting item needs a worker of its own: an idle worker that has been woken but
    // has not taken its item yet still counts as idle, so comparing the two counts never
    // leaves an item without a worker. Busy workers are not counted; they may block forever.
    if (items_.size() > idle_ && threads_ < static_cast<size_t>(kMaxWorkerThreads)) {
      ++threads_;
      start_worker = true;
    }
  }
  if (!start_worker) {
    work_available_.notify_one();
    return;
  }
  try {
    std::thread([this] { Run(); }).detach();
  } catch (const std::system_error&) {
    // The item stays queued for the workers that exist or for the next Submit.
    std::lock_guard lock(mutex_);
    --threads_;
    std::fputs("dispatch: cannot start a worker thread\n", stderr);
  }
}

void WorkerPool::Run() {
  pthread_setname_np(pthread_self(), "dispatch-worker");
  std::unique_lock lock(mutex_);
  for (;;) {
    while (items_.empty()) {
      ++idle_;
      const bool timed_out = work_available_.wait_for(lock, std::chrono::seconds(kIdleSeconds)) ==
                             std::cv_status::timeout;
      --idle_;
      if (timed_out && items_.empty()) {
        --threads_;
        return;
      }
    }
    Work work = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    work();
    // The work's captures are released before the lock is taken again: their destructors may
    // queue more work.
    work = nullptr;
    lock.lock();
  }
}

}  // namespace dispatch::internal
