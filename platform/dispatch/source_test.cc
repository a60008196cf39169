#include "platform/dispatch/source.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/semaphore.h"

namespace {

using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

dispatch::Time HangGuard() { return dispatch::After(seconds(10)); }
// A short wait in which something that must never happen would have had its chance.
dispatch::Time Grace() { return dispatch::After(milliseconds(100)); }

dispatch::Source MakeTimer(const dispatch::Queue& queue = dispatch::GlobalQueue()) {
  dispatch::Source timer;
  EXPECT_FALSE(dispatch::CreateTimerSource(queue, &timer));
  return timer;
}

// Cancels `source` and waits for its cancel handler, after which no handler refers to the
// test's locals any more.
void CancelAndWait(const dispatch::Source& source) {
  dispatch::Semaphore cancelled(0);
  source.SetCancelHandler([cancelled] { cancelled.Signal(); });
  source.Cancel();
  ASSERT_TRUE(cancelled.Wait(HangGuard()));
}

struct Pipe {
  Pipe() {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    read_end = ends[0];
    write_end = ends[1];
  }
  ~Pipe() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
  int read_end = -1;
  int write_end = -1;
};

TEST(DispatchTimer, ReArmedFromAnotherThreadFiresOnceAtTheNewTime) {
  const dispatch::Source timer = MakeTimer();
  dispatch::Semaphore fired(0);
  std::atomic<int> count{0};
  std::atomic<dispatch::Time> fired_at{0};
  timer.SetEventHandler([&] {
    fired_at = dispatch::Now();
    ++count;
    fired.Signal();
  });
  timer.SetTimer(dispatch::After(hours(1)), dispatch::kForever, 0);
  timer.Resume();
  dispatch::Time deadline = 0;
  std::thread([&] {
    deadline = dispatch::After(milliseconds(10));
    timer.SetTimer(deadline, dispatch::kForever, 0);
  }).join();
  ASSERT_TRUE(fired.Wait(HangGuard()));
  EXPECT_GE(fired_at.load(), deadline) << "fired before the time it was set to";
  EXPECT_FALSE(fired.Wait(Grace())) << "a one-shot timer fired again";
  EXPECT_EQ(count, 1);
  CancelAndWait(timer);
}

TEST(DispatchTimer, ReArmedFromItsOwnHandler) {
  const dispatch::Source timer = MakeTimer(dispatch::CreateQueue("timer.self"));
  dispatch::Semaphore fired(0);
  std::atomic<int> count{0};
  std::atomic<uintptr_t> data_total{0};
  timer.SetEventHandler([&] {
    data_total += timer.GetData();
    if (++count == 1) timer.SetTimer(dispatch::After(milliseconds(5)), dispatch::kForever, 0);
    fired.Signal();
  });
  timer.SetTimer(dispatch::kNow, dispatch::kForever, 0);
  timer.Resume();
  ASSERT_TRUE(fired.Wait(HangGuard()));
  ASSERT_TRUE(fired.Wait(HangGuard()));
  EXPECT_FALSE(fired.Wait(Grace()));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(data_total, 2u);
  CancelAndWait(timer);
}

TEST(DispatchTimer, DisarmedBeforeItsTimeNeverFires) {
  const dispatch::Source timer = MakeTimer();
  std::atomic<int> count{0};
  timer.SetEventHandler([&] { ++count; });
  timer.SetTimer(dispatch::After(milliseconds(30)), dispatch::kForever, 0);
  timer.Resume();
  // The idle timer of the helper is disarmed this way when a session is accepted.
  timer.SetTimer(dispatch::kForever, dispatch::kForever, 0);
  EXPECT_FALSE(dispatch::Semaphore(0).Wait(Grace()));
  EXPECT_EQ(count, 0);
  CancelAndWait(timer);
}

TEST(DispatchTimer, RepeatsUntilCancelledAndNeverRunsAfterTheCancelHandler) {
  const dispatch::Source timer = MakeTimer();
  std::atomic<int> events{0};
  std::atomic<bool> in_handler{false};
  std::atomic<bool> cancel_ran{false};
  std::atomic<int> late{0};
  std::atomic<int> overlaps{0};
  std::atomic<uintptr_t> fires{0};
  dispatch::Semaphore enough(0);
  dispatch::Semaphore cancelled(0);
  timer.SetEventHandler([&] {
    if (in_handler.exchange(true)) ++overlaps;
    if (cancel_ran) ++late;
    fires += timer.GetData();
    if (++events == 5) {
      enough.Signal();
      // Cancel arrives while this handler still runs.
      std::this_thread::sleep_for(milliseconds(20));
    }
    in_handler = false;
  });
  timer.SetCancelHandler([&] {
    if (in_handler) ++overlaps;
    cancel_ran = true;
    cancelled.Signal();
  });
  timer.SetTimer(dispatch::kNow, 100'000, 0);  // every 0.1 ms
  timer.Resume();
  ASSERT_TRUE(enough.Wait(HangGuard()));
  timer.Cancel();
  EXPECT_TRUE(timer.IsCancelled());
  ASSERT_TRUE(cancelled.Wait(HangGuard()));
  const int events_at_cancel = events;
  EXPECT_FALSE(cancelled.Wait(Grace()));
  EXPECT_EQ(events, events_at_cancel);
  EXPECT_EQ(late, 0);
  EXPECT_EQ(overlaps, 0);
  EXPECT_GE(fires, static_cast<uintptr_t>(events_at_cancel));
}

TEST(DispatchSource, CancelHandlerRunsOnceWhenManyThreadsCancel) {
  for (int round = 0; round < 20; ++round) {
    const dispatch::Source timer = MakeTimer();
    std::atomic<int> cancel_runs{0};
    dispatch::Semaphore cancelled(0);
    timer.SetEventHandler([] {});
    timer.SetCancelHandler([&] {
      ++cancel_runs;
      cancelled.Signal();
    });
    timer.SetTimer(dispatch::kNow, 50'000, 0);
    timer.Resume();
    std::atomic<bool> go{false};
    std::vector<std::thread> cancellers;
    for (int i = 0; i < 8; ++i) {
      cancellers.emplace_back([&] {
        while (!go) std::this_thread::yield();
        timer.Cancel();
      });
    }
    go = true;
    for (auto& canceller : cancellers) canceller.join();
    ASSERT_TRUE(cancelled.Wait(HangGuard()));
    EXPECT_FALSE(cancelled.Wait(dispatch::After(milliseconds(5))));
    EXPECT_EQ(cancel_runs, 1);
  }
}

TEST(DispatchSource, SuspendedSourceKeepsEventsUntilResumed) {
  Pipe pipe;
  dispatch::Source source;
  ASSERT_FALSE(dispatch::CreateReadSource(pipe.read_end, dispatch::GlobalQueue(), &source));
  std::atomic<bool> resumed{false};
  std::atomic<int> early{0};
  dispatch::Semaphore delivered(0);
  source.SetEventHandler([&] {
    if (!resumed) ++early;
    char buffer[16];
    while (read(pipe.read_end, buffer, sizeof buffer) > 0) {
    }
    delivered.Signal();
  });
  ASSERT_EQ(write(pipe.write_end, "x", 1), 1);
  // Created suspended: nothing may be delivered yet.
  EXPECT_FALSE(delivered.Wait(Grace()));
  resumed = true;
  source.Resume();
  ASSERT_TRUE(delivered.Wait(HangGuard()));

  source.Suspend();
  resumed = false;
  ASSERT_EQ(write(pipe.write_end, "y", 1), 1);
  EXPECT_FALSE(delivered.Wait(Grace()));
  resumed = true;
  source.Resume();
  ASSERT_TRUE(delivered.Wait(HangGuard()));
  EXPECT_EQ(early, 0);
  source.Resume();  // unbalanced: ignored
  CancelAndWait(source);
}

TEST(DispatchSource, ReleasingTheLastReferenceOrCancellingFromAHandlerReleasesHandlers) {
  dispatch::Semaphore cancelled(0);
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  {
    const dispatch::Source timer = MakeTimer();
    timer.SetEventHandler([token = std::move(token)] { ++*token; });
    timer.SetCancelHandler([cancelled] { cancelled.Signal(); });
    timer.SetTimer(dispatch::kNow, 1'000'000, 0);
    timer.Resume();
  }
  ASSERT_TRUE(cancelled.Wait(HangGuard()));
  EXPECT_TRUE(watch.expired());

  // A source that was never resumed is cancelled as well; nothing waits for it forever.
  {
    const dispatch::Source timer = MakeTimer();
    timer.SetCancelHandler([cancelled] { cancelled.Signal(); });
  }
  EXPECT_TRUE(cancelled.Wait(HangGuard()));

  // A handler may capture its own source and cancel it. The capture makes a cycle that only
  // cancellation breaks; the leak checker of the sanitizer build catches a source that keeps
  // its handlers afterwards.
  {
    const dispatch::Source timer = MakeTimer();
    timer.SetEventHandler([timer] { timer.Cancel(); });
    timer.SetCancelHandler([cancelled] { cancelled.Signal(); });
    timer.SetTimer(dispatch::kNow, dispatch::kForever, 0);
    timer.Resume();
  }
  EXPECT_TRUE(cancelled.Wait(HangGuard()));
}

TEST(DispatchReadSource, DeliversDataWrittenByAnotherThreadUntilEndOfFile) {
  Pipe pipe;
  dispatch::Source source;
  ASSERT_FALSE(dispatch::CreateReadSource(pipe.read_end, dispatch::CreateQueue("reader"), &source));
  std::mutex mutex;
  std::string received;
  std::vector<uintptr_t> data;
  std::atomic<bool> in_handler{false};
  std::atomic<int> overlaps{0};
  dispatch::Semaphore end_of_file(0);
  source.SetEventHandler([&] {
    if (in_handler.exchange(true)) ++overlaps;
    // One byte per run: the rest must be delivered again (level-triggered).
    char byte;
    const ssize_t got = read(pipe.read_end, &byte, 1);
    {
      std::lock_guard lock(mutex);
      data.push_back(source.GetData());
      if (got == 1) received += byte;
    }
    in_handler = false;
    if (got == 0) {
      source.Cancel();
      end_of_file.Signal();
    }
  });
  source.Resume();
  std::thread writer([&] {
    ASSERT_EQ(write(pipe.write_end, "hello", 5), 5);
    ASSERT_EQ(write(pipe.write_end, " world", 6), 6);
    close(pipe.write_end);
    pipe.write_end = -1;
  });
  writer.join();
  ASSERT_TRUE(end_of_file.Wait(HangGuard()));
  std::lock_guard lock(mutex);
  EXPECT_EQ(received, "hello world");
  EXPECT_EQ(overlaps, 0);
  ASSERT_FALSE(data.empty());
  EXPECT_GT(data.front(), 0u);
  EXPECT_EQ(data.back(), 0u) << "end of file reports nothing to read";
}

TEST(DispatchReadSource, RefusesBadDescriptors) {
  dispatch::Source source;
  EXPECT_EQ(dispatch::CreateReadSource(-1, dispatch::GlobalQueue(), &source),
            std::errc::bad_file_descriptor);
  const int memory_file = memfd_create("regular", MFD_CLOEXEC);
  ASSERT_GE(memory_file, 0);
  EXPECT_EQ(dispatch::CreateReadSource(memory_file, dispatch::GlobalQueue(), &source),
            std::errc::operation_not_permitted);
  close(memory_file);
  EXPECT_FALSE(source);
}

// Watches `pid` with a process-exit source, runs `end_it` and expects exactly one exit event.
void ExpectOneExitEvent(pid_t pid, const std::function<void()>& end_it) {
  dispatch::Source source;
  ASSERT_FALSE(dispatch::CreateProcessExitSource(pid, dispatch::GlobalQueue(), &source));
  std::atomic<int> events{0};
  std::atomic<uintptr_t> data{0};
  dispatch::Semaphore exited(0);
  source.SetEventHandler([&] {
    data = source.GetData();
    ++events;
    exited.Signal();
  });
  source.Resume();
  end_it();
  ASSERT_TRUE(exited.Wait(HangGuard()));
  EXPECT_FALSE(exited.Wait(Grace()));
  EXPECT_EQ(events, 1);
  EXPECT_EQ(data, dispatch::kProcessExit);
  CancelAndWait(source);
}

// A child that waits until `hold` is closed or it is killed, then exits with status 3.
pid_t StartChild(const Pipe& hold) {
  const pid_t pid = fork();
  if (pid == 0) {
    close(hold.write_end);
    const int flags = fcntl(hold.read_end, F_GETFL);
    fcntl(hold.read_end, F_SETFL, flags & ~O_NONBLOCK);
    char byte;
    while (read(hold.read_end, &byte, 1) > 0) {
    }
    _exit(3);
  }
  return pid;
}

TEST(DispatchProcessExitSource, FiresOnceForAChildThatExitsOrIsKilled) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "exits");
    Pipe hold;
    const pid_t child = StartChild(hold);
    ASSERT_GT(child, 0);
    ExpectOneExitEvent(child, [&] {
      if (killed) {
        kill(child, SIGKILL);
      } else {
        close(hold.write_end);
        hold.write_end = -1;
      }
    });
    // The source leaves the exit status to the parent.
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(killed ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 3);
  }
}

TEST(DispatchProcessExitSource, FiresForAProcessThatIsNotAChild) {
  Pipe report;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      for (;;) pause();
    }
    (void)!write(report.write_end, &grandchild, sizeof grandchild);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  pid_t grandchild = 0;
  ASSERT_EQ(read(report.read_end, &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  ASSERT_GT(grandchild, 0);
  ExpectOneExitEvent(grandchild, [&] { kill(grandchild, SIGKILL); });
}

TEST(DispatchProcessExitSource, FiresOnceForAProcessAlreadyGone) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ExpectOneExitEvent(child, [] {});

  dispatch::Source source;
  EXPECT_EQ(dispatch::CreateProcessExitSource(0, dispatch::GlobalQueue(), &source),
            std::errc::invalid_argument);
}

}  // namespace
