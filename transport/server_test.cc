// Servers and clients in one process.

#include "transport/server.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "core/foundation/scope_guard.h"
#include "tests/support/result_matchers.h"
#include "transport/call.h"

namespace mach {
namespace {

using testing::HasSubstr;

PortRight<Send> SendRightTo(const PortRight<Receive>& port) {
  mach_port_t name = MACH_PORT_NULL;
  EXPECT_EQ(mach_stand_in::MakeSendRight(port.get(), &name), KERN_SUCCESS);
  return PortRight<Send>(name);
}

AuthorizationExternalForm FormOf(char first) {
  AuthorizationExternalForm form{};
  form.bytes[0] = first;
  return form;
}

CallResult<GetAuthorizationRequest> GetAuthorization(const PortRight<Send>& server) {
  return Call<GetAuthorizationRequest>(kGetAuthorizationId, server);
}

class ServerTest : public testing::Test {
 protected:
  PortRight<Receive> port_ = AllocateReceiveRight().value();
  PortRight<Send> client_ = SendRightTo(port_);
};

TEST_F(ServerTest, FirstHandlerOfAnIdTakesTheMessage) {
  Server server(port_, Server::GlobalQueue{});
  server.AddHandler(kGetAuthorizationId, [](Promise<AuthorizationExternalForm> promise) {
    promise.SetValue(FormOf('a'));
    promise.SetValue(FormOf('x'));  // dropped: one reply per request
  });
  server.AddHandler(kGetAuthorizationId, [](Promise<AuthorizationExternalForm> promise) {
    promise.SetValue(FormOf('b'));
  });
  server.Resume();
  for (int round = 0; round < 3; ++round) {
    CallResult<GetAuthorizationRequest> reply = GetAuthorization(client_);
    ASSERT_THAT(reply, testing::Succeeded());
    EXPECT_EQ(reply->value.bytes[0], 'a');
    EXPECT_EQ(reply->sender.pid(), getpid());
  }
}

TEST_F(ServerTest, ServerWithoutHandlersDropsEverything) {
  Server server(port_, Server::GlobalQueue{});
  server.Resume();
  EXPECT_THAT(GetAuthorization(client_), testing::FailedWithValue(MIG_TYPE_ERROR));
}

// A handler that takes the largest request of the session port (72 bytes), so that the
// server's receive buffer holds any session request and the no-senders notification.
void AddReplicateHandler(Server& server) {
  server.AddHandler(kReplicateContainerId,
                    [](APFSContainerName, APFSContainerName, PortRight<Send>,
                       Promise<std::optional<Error>> promise) { promise.SetValue(std::nullopt); });
}

TEST_F(ServerTest, UntakenMessagesAreReported) {
  Server server(port_, Server::GlobalQueue{});
  server.AddHandler(kGetAuthorizationId, [](Promise<AuthorizationExternalForm> promise) {
    promise.SetValue(FormOf('a'));
  });
  server.Resume();
  testing::internal::CaptureStderr();
  EXPECT_THAT(Call<GetAuthorizationRequest>(250, client_),
              testing::FailedWithValue(MIG_TYPE_ERROR));
  // Larger than any request the table takes: it does not fit the receive buffer and is
  // dropped by the receive itself.
  mcom::Result<PortRight<Receive>> progress = AllocateReceiveRight();
  EXPECT_THAT(
      Call<BuildRecoveryRequest>(kGetAuthorizationId, client_, mcom::DiskName{1, 1}, *progress),
      testing::FailedWithValue(MIG_TYPE_ERROR));
  // The right id with a layout of another kind.
  AddReplicateHandler(server);
  EXPECT_THAT(
      Call<BuildRecoveryRequest>(kGetAuthorizationId, client_, mcom::DiskName{1, 1}, *progress),
      testing::FailedWithValue(MIG_TYPE_ERROR));
  EXPECT_THAT(GetAuthorization(client_), testing::Succeeded());  // after every line
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "no handler for msg(250)\nno handler for msg(203)\n");
}

TEST_F(ServerTest, DestructionWaitsForRunningHandlers) {
  dispatch::Semaphore started(0);
  dispatch::Semaphore release(0);
  std::atomic<bool> finished{false};
  auto server = std::make_unique<Server>(port_, Server::GlobalQueue{});
  server->AddHandler(kGetAuthorizationId, [&](Promise<AuthorizationExternalForm> promise) {
    started.Signal();
    release.Wait(dispatch::kForever);
    finished = true;
    promise.SetValue(FormOf('a'));
  });
  server->Resume();
  std::optional<CallResult<GetAuthorizationRequest>> reply;
  std::thread client([&] { reply.emplace(GetAuthorization(client_)); });
  ASSERT_TRUE(started.Wait(dispatch::After(std::chrono::seconds(60))));
  std::atomic<bool> finished_before_destroyed{false};
  std::thread destroyer([&] {
    server.reset();
    finished_before_destroyed = finished.load();
  });
  release.Signal();
  destroyer.join();
  client.join();
  EXPECT_TRUE(finished_before_destroyed);
  ASSERT_TRUE(reply.has_value());
  EXPECT_THAT(*reply, testing::Succeeded());
}

TEST_F(ServerTest, NoSendersOnlyFromTheKernel) {
  Server server(port_, Server::GlobalQueue{});
  server.AddHandler(kGetAuthorizationId, [](Promise<AuthorizationExternalForm> promise) {
    promise.SetValue(FormOf('a'));
  });
  AddReplicateHandler(server);
  std::atomic<int> notified{0};
  std::atomic<uint32_t> make_send_count{0};
  dispatch::Semaphore fired(0);
  server.RequestNoSendersNotification([&](NoSendersInfo info) {
    ++notified;
    make_send_count = info.make_send_count;
    fired.Signal();
    return true;
  });
  server.Resume();

  // A client cannot fake the notification.
  testing::internal::CaptureStderr();
  mach_msg_header_t fake[2]{};
  fake[0].msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
  fake[0].msgh_size = 36;
  fake[0].msgh_remote_port = client_.get();
  fake[0].msgh_id = MACH_NOTIFY_NO_SENDERS;
  ASSERT_EQ(mach_msg(&fake[0], MACH_SEND_MSG, 36, 0, MACH_PORT_NULL, 0, 0), MACH_MSG_SUCCESS);
  EXPECT_THAT(GetAuthorization(client_), testing::Succeeded());
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("no handler for msg(70)\n"));
  EXPECT_EQ(notified, 0);

  client_.reset();
  ASSERT_TRUE(fired.Wait(dispatch::After(std::chrono::seconds(60))));
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(make_send_count, 1u);
}

// A main-queue server in a program that serves the main queue from its own loop.
TEST_F(ServerTest, MainQueueServerRunsOnTheMainThread) {
  std::mutex mutex;
  std::condition_variable wake;
  bool pending = false;
  dispatch::SetMainQueueDriver([&] {
    std::lock_guard lock(mutex);
    pending = true;
    wake.notify_one();
  });
  mcom::ScopeExit remove_driver([] { dispatch::SetMainQueueDriver({}); });
  const std::thread::id main_thread = std::this_thread::get_id();
  std::atomic<bool> on_main{false};
  {
    Server server(port_, Server::MainQueue{});
    server.AddHandler(kGetAuthorizationId, [&](Promise<AuthorizationExternalForm> promise) {
      on_main = Server::IsOnMainQueue() && std::this_thread::get_id() == main_thread;
      promise.SetValue(FormOf('m'));
    });
    server.Resume();
    std::atomic<bool> done{false};
    std::optional<CallResult<GetAuthorizationRequest>> reply;
    std::thread client([&] {
      reply.emplace(GetAuthorization(client_));
      // A handler added from another thread goes through the main queue.
      server.AddHandler(kCollectLogsId, [](Promise<mcom::File>) {});
      std::lock_guard lock(mutex);
      done = true;
      wake.notify_one();
    });
    for (;;) {
      {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(100), [&] { return pending || done; });
        if (done) break;
        pending = false;
      }
      dispatch::DrainMainQueue();
    }
    client.join();
    ASSERT_TRUE(reply.has_value());
    ASSERT_THAT(*reply, testing::Succeeded());
    EXPECT_EQ((*reply)->value.bytes[0], 'm');
  }  // destroyed on the main thread without waiting for itself
  EXPECT_TRUE(on_main);
}

}  // namespace
}  // namespace mach
