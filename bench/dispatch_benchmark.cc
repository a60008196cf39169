// Latency from submitting work to its start: the global queue, a serial queue and the main
// queue (served by Main() on a thread of its own), against a plain hand-off to a waiting
// std::thread through a condition variable, measured the same way in the same run. Also the
// lateness of a one-shot timer with leeway 0, which the helper's idle timer relies on.
//
//   cmake --build build --target benchmarks && build/bench/dispatch_benchmark

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/source.h"
#include "platform/dispatch/time.h"

namespace {

using Clock = std::chrono::steady_clock;

// Submits one item per iteration with `submit` and reports the time from just before the
// submission until the item started. Waiting for the item to tell that it ran is not
// counted.
void MeasureStartLatency(benchmark::State& state,
                         const std::function<void(std::function<void()>)>& submit) {
  dispatch::Semaphore ran(0);
  Clock::time_point started;
  for (auto _ : state) {
    const Clock::time_point submitted = Clock::now();
    submit([&] {
      started = Clock::now();
      ran.Signal();
    });
    ran.Wait(dispatch::kForever);
    state.SetIterationTime(std::chrono::duration<double>(started - submitted).count());
  }
}

void BM_GlobalQueueAsync(benchmark::State& state) {
  const dispatch::Queue queue = dispatch::GlobalQueue();
  MeasureStartLatency(state,
                      [&](std::function<void()> work) { dispatch::Async(queue, std::move(work)); });
}
BENCHMARK(BM_GlobalQueueAsync)->UseManualTime();

void BM_SerialQueueAsync(benchmark::State& state) {
  const dispatch::Queue queue = dispatch::CreateQueue("bench.serial");
  MeasureStartLatency(state,
                      [&](std::function<void()> work) { dispatch::Async(queue, std::move(work)); });
}
BENCHMARK(BM_SerialQueueAsync)->UseManualTime();

void BM_MainQueueAsync(benchmark::State& state) {
  // Main() never returns: its thread serves the main queue until the process ends.
  static const bool serving = [] {
    std::thread([] { dispatch::Main(); }).detach();
    return true;
  }();
  (void)serving;
  const dispatch::Queue queue = dispatch::MainQueue();
  MeasureStartLatency(state,
                      [&](std::function<void()> work) { dispatch::Async(queue, std::move(work)); });
}
BENCHMARK(BM_MainQueueAsync)->UseManualTime();

// The baseline: one thread waiting on a condition variable for the next job.
class HandOffThread {
 public:
  HandOffThread() : thread_([this] { Run(); }) {}
  ~HandOffThread() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  void Submit(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      job_ = std::move(job);
    }
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || job_ != nullptr; });
      if (stop_) return;
      std::function<void()> job = std::move(job_);
      job_ = nullptr;
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;
  bool stop_ = false;
  std::thread thread_;
};

void BM_ThreadHandOffBaseline(benchmark::State& state) {
  HandOffThread thread;
  MeasureStartLatency(state, [&](std::function<void()> work) { thread.Submit(std::move(work)); });
}
BENCHMARK(BM_ThreadHandOffBaseline)->UseManualTime();

// Time from a one-shot timer's deadline until its handler starts on the global queue.
void BM_TimerLateness(benchmark::State& state) {
  dispatch::Source timer;
  if (dispatch::CreateTimerSource(dispatch::GlobalQueue(), &timer)) {
    state.SkipWithError("cannot create a timer source");
    return;
  }
  dispatch::Semaphore fired(0);
  dispatch::Time fired_at = 0;
  timer.SetEventHandler([&] {
    fired_at = dispatch::Now();
    fired.Signal();
  });
  timer.Resume();
  for (auto _ : state) {
    const dispatch::Time deadline = dispatch::After(std::chrono::milliseconds(1));
    timer.SetTimer(deadline, dispatch::kForever, 0);
    fired.Wait(dispatch::kForever);
    state.SetIterationTime(static_cast<double>(fired_at - deadline) / 1e9);
  }
  dispatch::Semaphore cancelled(0);
  timer.SetCancelHandler([cancelled] { cancelled.Signal(); });
  timer.Cancel();
  cancelled.Wait(dispatch::kForever);
}
BENCHMARK(BM_TimerLateness)->UseManualTime();

}  // namespace
