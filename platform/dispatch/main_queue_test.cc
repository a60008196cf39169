#include "platform/dispatch/main_queue.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
// glibc 2.36 declares the pidfd functions without C linkage for C++ (fixed in 2.37).
extern "C" {
#include <sys/pidfd.h>
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/source.h"
#include "tests/support/child_process.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

int main_queue_key;
int main_queue_value;

// Runs child mode `name` of this test binary and returns its exit status, or -1 when it did
// not end normally within a minute (it is killed then).
int RunChild(const char* name) {
  const std::string binary = testing::TestBinary();
  std::vector<std::string> arguments = testing::ChildArguments(name);
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  const int pidfd = pidfd_open(pid, 0);
  pollfd exited{pidfd, POLLIN, 0};
  if (pidfd < 0 || poll(&exited, 1, 60'000) != 1) kill(pid, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The helper's shape: work arrives from other threads, Sync from a worker reaches the main
// thread, and a one-shot timer on the main queue ends the process with exit(0).
DORVANE_TEST_CHILD(serve_main_queue) {
  static const pid_t main_thread = gettid();
  dispatch::SetSpecific(dispatch::MainQueue(), &main_queue_key, &main_queue_value);
  dispatch::Async(dispatch::GlobalQueue(), [] {
    if (dispatch::GetSpecific(&main_queue_key) != nullptr) std::_Exit(10);
    pid_t ran_on = 0;
    void* specific = nullptr;
    dispatch::Sync(dispatch::MainQueue(), [&] {
      ran_on = gettid();
      specific = dispatch::GetSpecific(&main_queue_key);
    });
    if (ran_on != main_thread) std::_Exit(11);
    if (specific != &main_queue_value) std::_Exit(12);

    static dispatch::Source* const idle_timer = new dispatch::Source;
    if (dispatch::CreateTimerSource(dispatch::MainQueue(), idle_timer)) std::_Exit(13);
    idle_timer->SetEventHandler([] { std::exit(gettid() == main_thread ? 0 : 14); });
    idle_timer->SetTimer(dispatch::After(milliseconds(10)), dispatch::kForever, 0);
    idle_timer->Resume();
  });
  dispatch::Main();
}

TEST(DispatchMainQueue, MainServesTheQueueUntilAnItemExits) {
  EXPECT_EQ(RunChild("serve_main_queue"), 0);
}

// A driver in the style of an event loop: wake() posts a request, the loop drains.
class TestDriver {
 public:
  TestDriver() {
    dispatch::SetMainQueueDriver([this] {
      std::lock_guard lock(mutex_);
      ++wakes_;
      woken_.notify_one();
    });
  }
  ~TestDriver() {
    dispatch::SetMainQueueDriver(nullptr);
    while (dispatch::DrainMainQueue() > 0) {
    }
  }

  int wakes() {
    std::lock_guard lock(mutex_);
    return wakes_;
  }

  // Serves the main queue on the calling thread until `done` or ten seconds have passed.
  // `done` may become true through other threads, so it is looked at now and then even
  // without a wake-up.
  bool ServeUntil(const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      {
        std::unique_lock lock(mutex_);
        if (!woken_.wait_for(lock, milliseconds(10), [this] { return wakes_ > served_; })) {
          continue;
        }
        served_ = wakes_;
      }
      dispatch::DrainMainQueue();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  int wakes_ = 0;
  int served_ = 0;
};

TEST(DispatchMainQueue, CustomDriverRunsWorkFromAnyThreadOnTheMainThread) {
  TestDriver driver;
  const std::thread::id main_thread = std::this_thread::get_id();
  constexpr int kProducers = 3;
  constexpr int kItems = 100;
  std::vector<int> next(kProducers, 0);  // touched on the main thread only
  std::atomic<int> ran{0};
  std::atomic<int> misplaced{0};
  std::atomic<int> out_of_order{0};
  std::vector<std::thread> producers;
  for (int producer = 0; producer < kProducers; ++producer) {
    producers.emplace_back([&, producer] {
      for (int item = 0; item < kItems; ++item) {
        dispatch::Async(dispatch::MainQueue(), [&, producer, item] {
          if (std::this_thread::get_id() != main_thread) ++misplaced;
          if (next[producer]++ != item) ++out_of_order;
          ++ran;
        });
      }
    });
  }
  // Sync from a worker reaches the main thread while the driver serves it.
  std::atomic<bool> synced{false};
  dispatch::Async(dispatch::GlobalQueue(), [&] {
    dispatch::Sync(dispatch::MainQueue(), [&] {
      if (std::this_thread::get_id() != main_thread) ++misplaced;
    });
    synced = true;
  });
  EXPECT_TRUE(driver.ServeUntil([&] { return ran == kProducers * kItems && synced; }));
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(misplaced, 0);
  EXPECT_EQ(out_of_order, 0);
}

TEST(DispatchMainQueue, DriverIsWokenOncePerDrainAndDrainsOnlyWhatWasThere) {
  dispatch::SetMainQueueDriver(nullptr);
  int ran = 0;
  dispatch::Async(dispatch::MainQueue(), [&] { ++ran; });  // waits: nobody serves yet
  TestDriver driver;
  EXPECT_EQ(driver.wakes(), 1) << "work already waiting must wake a new driver";
  for (int i = 0; i < 4; ++i) dispatch::Async(dispatch::MainQueue(), [&] { ++ran; });
  EXPECT_EQ(driver.wakes(), 1) << "one pending drain request is enough";
  EXPECT_EQ(dispatch::DrainMainQueue(), 5u);
  EXPECT_EQ(ran, 5);

  // Work queued by an item waits for the next drain, which the driver is asked for.
  dispatch::Async(dispatch::MainQueue(), [&] {
    ++ran;
    dispatch::Async(dispatch::MainQueue(), [&] { ++ran; });
  });
  EXPECT_EQ(driver.wakes(), 2);
  EXPECT_EQ(dispatch::DrainMainQueue(), 1u);
  EXPECT_EQ(ran, 6);
  EXPECT_EQ(driver.wakes(), 3);
  EXPECT_EQ(dispatch::DrainMainQueue(), 1u);
  EXPECT_EQ(ran, 7);
  EXPECT_EQ(dispatch::DrainMainQueue(), 0u);
}

TEST(DispatchMainQueue, TheServingThreadCountsAsTheMainQueue) {
  TestDriver driver;
  dispatch::SetSpecific(dispatch::MainQueue(), &main_queue_key, &main_queue_value);
  // Between items, as on the platform's main thread.
  EXPECT_EQ(dispatch::GetSpecific(&main_queue_key), &main_queue_value);
  void* inside = nullptr;
  dispatch::Async(dispatch::MainQueue(), [&] { inside = dispatch::GetSpecific(&main_queue_key); });
  dispatch::DrainMainQueue();
  EXPECT_EQ(inside, &main_queue_value);

  void* on_worker = &main_queue_key;
  dispatch::Semaphore done(0);
  dispatch::Async(dispatch::GlobalQueue(), [&] {
    on_worker = dispatch::GetSpecific(&main_queue_key);
    done.Signal();
  });
  ASSERT_TRUE(done.Wait(dispatch::After(seconds(10))));
  EXPECT_EQ(on_worker, nullptr);
  dispatch::SetSpecific(dispatch::MainQueue(), &main_queue_key, nullptr);
}

}  // namespace
