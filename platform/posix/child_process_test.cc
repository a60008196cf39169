#include "platform/posix/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

namespace mcom {
namespace {

using namespace std::chrono_literals;

// A child that ends with `status` after `delay`, or never (a negative status).
pid_t StartChild(int status, std::chrono::milliseconds delay = 0ms) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (status < 0) {
      for (;;) ::pause();
    }
    ::usleep(static_cast<useconds_t>(delay.count() * 1000));
    ::_exit(status);
  }
  return pid;
}

bool IsReaped(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

TEST(ChildProcess, WaitGivesTheExitStatusOrTheSignalAndEmptiesTheOwner) {
  ChildProcess exited(StartChild(3), ChildProcess::WhenDestroyed::kKill);
  EXPECT_EQ(exited.Wait(), std::error_code(3, std::system_category()));
  EXPECT_FALSE(exited.is_valid());
  EXPECT_EQ(exited.Wait(), std::error_code(ECHILD, std::system_category()));

  ChildProcess waiting(StartChild(-1), ChildProcess::WhenDestroyed::kKill);
  EXPECT_EQ(waiting.WaitFor(20ms), std::nullopt);
  EXPECT_TRUE(waiting.is_valid());
  ASSERT_FALSE(waiting.Signal(SIGTERM));
  EXPECT_EQ(waiting.WaitFor(10s), std::error_code(SIGTERM, std::system_category()));
  EXPECT_EQ(waiting.Signal(SIGTERM), std::error_code(ESRCH, std::generic_category()));

  ChildProcess clean(StartChild(0), ChildProcess::WhenDestroyed::kKill);
  EXPECT_FALSE(clean.Wait());
}

TEST(ChildProcess, DestructionKillsOrWaitsAsToldAndAlwaysReaps) {
  const pid_t endless = StartChild(-1);
  { ChildProcess child(endless, ChildProcess::WhenDestroyed::kKill); }
  EXPECT_TRUE(IsReaped(endless));

  const pid_t slow = StartChild(0, 50ms);
  const auto started = std::chrono::steady_clock::now();
  { ChildProcess child(slow, ChildProcess::WhenDestroyed::kWait); }
  EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);  // it ended on its own
  EXPECT_TRUE(IsReaped(slow));

  // A moved-from owner does nothing; the target of a move assignment finishes its own child
  // first.
  const pid_t first = StartChild(-1);
  const pid_t second = StartChild(-1);
  ChildProcess a(first, ChildProcess::WhenDestroyed::kKill);
  ChildProcess b(second, ChildProcess::WhenDestroyed::kKill);
  a = std::move(b);
  EXPECT_TRUE(IsReaped(first));
  EXPECT_FALSE(b.is_valid());
  EXPECT_EQ(a.pid(), second);

  const pid_t released = a.release();
  EXPECT_FALSE(a.is_valid());
  EXPECT_FALSE(IsReaped(released));
  ::kill(released, SIGKILL);
  ChildProcess(released, ChildProcess::WhenDestroyed::kWait).Wait();
}

TEST(ChildProcess, AProcessThatIsNotAChildCannotBeWaitedFor) {
  ChildProcess self(::getpid(), ChildProcess::WhenDestroyed::kWait);
  EXPECT_EQ(self.Wait(), std::error_code(ECHILD, std::system_category()));
  EXPECT_FALSE(ChildProcess(0, ChildProcess::WhenDestroyed::kKill).is_valid());
}

}  // namespace
}  // namespace mcom
