#include "core/foundation/dispatch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>

#include "tests/support/result_matchers.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::FailedWith;
using testing::Succeeded;

dispatch::Time HangGuard() { return dispatch::After(seconds(10)); }

void CancelAndWait(const mcom::DispatchSource& source) {
  mcom::DispatchSemaphore cancelled(0);
  source.SetCancelHandler([cancelled] { cancelled.Signal(); });
  source.Cancel();
  ASSERT_TRUE(cancelled.Wait(HangGuard()));
}

TEST(FoundationDispatchTimer, RepeatFlagDecidesBetweenOneShotAndInterval) {
  for (const bool repeat : {false, true}) {
    mcom::Result<mcom::DispatchSource> timer = mcom::CreateTimerSource();
    ASSERT_THAT(timer, Succeeded());
    std::atomic<int> fires{0};
    mcom::DispatchSemaphore fired(0);
    timer->SetEventHandler([&] {
      fires += static_cast<int>(timer->GetData());
      fired.Signal();
    });
    mcom::SetTimer(*timer, dispatch::kNow, 1'000'000, repeat);
    timer->Resume();
    ASSERT_TRUE(fired.Wait(HangGuard()));
    if (repeat) {
      // An interval of a millisecond keeps firing.
      while (fires < 3) ASSERT_TRUE(fired.Wait(HangGuard()));
    } else {
      // The interval is ignored: one fire, never again.
      EXPECT_FALSE(fired.Wait(dispatch::After(milliseconds(100))));
      EXPECT_EQ(fires, 1);
    }
    CancelAndWait(*timer);
  }
}

TEST(FoundationDispatchPortSource, FiresForEachQueuedMessage) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends), 0);
  const dispatch::Queue queue = dispatch::CreateQueue("port.receive");
  mcom::Result<mcom::DispatchSource> source = mcom::CreatePortReceiveSource(ends[0], queue);
  ASSERT_THAT(source, Succeeded());
  mcom::DispatchSemaphore received(0);
  std::atomic<int> messages{0};
  source->SetEventHandler([&] {
    char buffer[64];
    // One message per event, as the message server receives.
    if (recv(ends[0], buffer, sizeof buffer, 0) > 0) {
      ++messages;
      received.Signal();
    }
  });
  source->Resume();
  for (const char* message : {"first", "second", "third"}) {
    ASSERT_GT(send(ends[1], message, 5, MSG_NOSIGNAL), 0);
  }
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(received.Wait(HangGuard()));
  EXPECT_EQ(messages, 3);
  CancelAndWait(*source);
  close(ends[0]);
  close(ends[1]);
}

TEST(FoundationDispatchSources, ReportBadProcessIdsAsErrors) {
  EXPECT_THAT(mcom::CreateProcessExitSource(-1, dispatch::GlobalQueue()),
              FailedWith(std::errc::invalid_argument));
  EXPECT_THAT(mcom::CreatePortReceiveSource(-1, dispatch::GlobalQueue()),
              FailedWith(std::errc::bad_file_descriptor));
}

}  // namespace
