// Calls against a server in another process (the helper's shape, see test_children.h).

#include "transport/call.h"

#include <gmock/gmock.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <variant>
#include <vector>

#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"
#include "transport/create_session.h"
#include "transport/message_catalogue.h"
#include "transport/test_children.h"

namespace mach {
namespace {

using transport_testing::Child;

// A helper-shaped server in a child process under a machine root of the test's own, and a
// session with it.
class CallTest : public testing::Test {
 protected:
  void StartServer(const std::string& behaviour = "serve") {
    server_.emplace("session_server", std::vector<std::string>{root_.path().string(), behaviour});
    ASSERT_EQ(server_->ReadLine(), "ready");
  }

  PortRight<Send> TakeSession() {
    std::variant<Session, Error> session = CreateSession();
    if (const Error* error = std::get_if<Error>(&session)) {
      ADD_FAILURE() << error->FullDescription();
      return PortRight<Send>();
    }
    EXPECT_EQ(std::get<Session>(session).helper.pid(), server_->pid());
    return std::move(std::get<Session>(session).port);
  }

  static CallResult<ReplicateContainerRequest> Replicate(const PortRight<Send>& session,
                                                         uint32_t source, uint32_t target) {
    mcom::Result<PortRight<Receive>> progress = AllocateReceiveRight();
    EXPECT_THAT(progress, testing::Succeeded());
    return Call<ReplicateContainerRequest>(
        kReplicateContainerId, session, APFSContainerName{{source, mcom::DiskName::kNoSlice}},
        APFSContainerName{{target, mcom::DiskName::kNoSlice}}, *progress);
  }

  testing::TemporaryMachineRoot root_;
  std::optional<Child> server_;
};

TEST_F(CallTest, EachRequestGetsItsReply) {
  StartServer();
  const PortRight<Send> session = TakeSession();

  // An Error with a cause chain crosses intact.
  CallResult<ReplicateContainerRequest> replicated = Replicate(session, 2, 5);
  ASSERT_THAT(replicated, testing::Succeeded());
  ASSERT_TRUE(replicated->value.has_value());
  EXPECT_EQ(*replicated->value, Error("ReplicateContainer", "failed", Error("asr", "boom")));
  EXPECT_EQ(replicated->sender.pid(), server_->pid());

  // The handler sees the requester's audit token.
  mcom::Result<PortRight<Receive>> progress = AllocateReceiveRight();
  CallResult<BuildRecoveryRequest> built =
      Call<BuildRecoveryRequest>(kBuildRecoveryId, session, mcom::DiskName{3, 2}, *progress);
  ASSERT_THAT(built, testing::Succeeded());
  ASSERT_TRUE(built->value.has_value());
  EXPECT_EQ(built->value->message(), std::to_string(getpid()) + " disk3s2");

  // 32 bytes inline, verbatim.
  CallResult<GetAuthorizationRequest> form =
      Call<GetAuthorizationRequest>(kGetAuthorizationId, session);
  ASSERT_THAT(form, testing::Succeeded());
  for (int index = 1; index < 32; ++index) EXPECT_EQ(form->value.bytes[index], index);
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), 0u);
}

TEST_F(CallTest, DescriptorTravelsAsFilePort) {
  StartServer();
  const PortRight<Send> session = TakeSession();
  CallResult<CollectLogsRequest> logs = Call<CollectLogsRequest>(kCollectLogsId, session);
  ASSERT_THAT(logs, testing::Succeeded());
  ASSERT_TRUE(logs->value.IsValid());
  mcom::Result<std::vector<char>> contents = logs->value.ReadAll();
  ASSERT_THAT(contents, testing::Succeeded());
  EXPECT_EQ(std::string(contents->begin(), contents->end()),
            "log archive of " + std::to_string(server_->pid()));
}

TEST_F(CallTest, UnansweredRequestsFailWithTypeError) {
  StartServer();
  const PortRight<Send> session = TakeSession();

  // The handler keeps no promise: the reply right goes, the send-once notification comes.
  EXPECT_THAT(Replicate(session, 3, 0), testing::FailedWithValue(MIG_TYPE_ERROR));
  // No handler for the id.
  EXPECT_THAT(Call<CollectLogsRequest>(250, session), testing::FailedWithValue(MIG_TYPE_ERROR));
  // The right id with the wrong layout: the replicate handler refuses a 24-byte request.
  EXPECT_THAT(Call<CollectLogsRequest>(kReplicateContainerId, session),
              testing::FailedWithValue(MIG_TYPE_ERROR));
  // The server still serves; what it reports of these, the server tests check.
  EXPECT_THAT(Call<GetAuthorizationRequest>(kGetAuthorizationId, session), testing::Succeeded());
}

TEST_F(CallTest, ReplyWithWrongIdIsAMismatch) {
  Child server("wrong_reply_server", {root_.path().string()});
  ASSERT_EQ(server.ReadLine(), "ready");
  mach_port_t service = MACH_PORT_NULL;
  ASSERT_EQ(bootstrap_look_up(bootstrap_port, kHelperServiceName, &service), KERN_SUCCESS);
  const PortRight<Send> service_right(service);
  // Right layout, id 301 instead of 300; what the reply carried is released.
  EXPECT_THAT(Call<CreateSessionRequest>(kCreateSessionId, service_right),
              testing::FailedWithValue(MIG_REPLY_MISMATCH));
  // Wrong layout and wrong id: the layout is checked first.
  EXPECT_THAT(Call<GetAuthorizationRequest>(kGetAuthorizationId, service_right),
              testing::FailedWithValue(MIG_TYPE_ERROR));
}

TEST_F(CallTest, SendToExitedServerIsInvalidDestinationAndFreesRegionsOnce) {
  StartServer();
  const PortRight<Send> session = TakeSession();
  const size_t regions = mach_stand_in::OutstandingRegions();

  // The server dies holding the reply right: the send-once notification.
  EXPECT_THAT(Replicate(session, 4, 0), testing::FailedWithValue(MIG_TYPE_ERROR));
  EXPECT_EQ(server_->Wait(), 0);

  CallResult<ReplicateContainerRequest> after = Replicate(session, 7, 8);
  EXPECT_THAT(after, testing::FailedWithValue(MACH_SEND_INVALID_DEST));
  EXPECT_EQ(after.error().category(), error_category());
  EXPECT_EQ(after.error().message(), "(ipc/send) invalid destination port");
  // Both container-name regions were released by the call, and only once (a second release
  // would be a double free under the sanitizers, and the count would go below).
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);
}

TEST_F(CallTest, HundredConcurrentCallsEachGetTheirOwnReply) {
  StartServer();
  const PortRight<Send> session = TakeSession();
  constexpr int kThreads = 20;
  constexpr int kCallsPerThread = 5;
  std::mutex mutex;
  std::vector<std::string> failures;
  std::set<uint32_t> answered;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int call = 0; call < kCallsPerThread; ++call) {
        const uint32_t disk = 100 + static_cast<uint32_t>(thread * kCallsPerThread + call);
        CallResult<ReplicateContainerRequest> reply = Replicate(session, disk, 0);
        std::lock_guard lock(mutex);
        if (!reply || !reply->value) {
          failures.push_back("disk" + std::to_string(disk) + ": no reply");
        } else if (reply->value->message() != "disk" + std::to_string(disk)) {
          failures.push_back("disk" + std::to_string(disk) + " got " + reply->value->message());
        } else {
          answered.insert(disk);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_THAT(failures, testing::IsEmpty());
  EXPECT_EQ(answered.size(), size_t{kThreads * kCallsPerThread});
}

}  // namespace
}  // namespace mach
