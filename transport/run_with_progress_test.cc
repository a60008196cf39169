// Long requests with progress against a helper-shaped server in another process (see
// test_children.h).

#include "transport/run_with_progress.h"

#include <gmock/gmock.h>

#include <atomic>
#include <mutex>
#include <variant>
#include <vector>

#include "tests/support/error_matchers.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"
#include "transport/create_session.h"
#include "transport/message_catalogue.h"
#include "transport/test_children.h"

namespace mach {
namespace {

using testing::ErrorIs;
using testing::ThrowsError;
using transport_testing::Child;

class RunWithProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    server_.emplace("session_server", std::vector<std::string>{root_.path().string(), "serve"});
    ASSERT_EQ(server_->ReadLine(), "ready");
    std::variant<Session, Error> session = CreateSession();
    ASSERT_TRUE(std::holds_alternative<Session>(session));
    session_ = std::make_shared<const PortRight<Send>>(std::move(std::get<Session>(session).port));
  }

  SessionProvider Provider() const {
    return [session = session_]() -> SessionResult { return session; };
  }

  static APFSContainerName Container(uint32_t disk) {
    return APFSContainerName{{disk, mcom::DiskName::kNoSlice}};
  }

  testing::TemporaryMachineRoot root_;
  std::optional<Child> server_;
  std::shared_ptr<const PortRight<Send>> session_;
};

// The helper sends 40 updates, waits until the last one has been seen, replies, and goes on
// sending until its port is gone: the updates arrive in order, and none after
// RunWithProgress has returned.
TEST_F(RunWithProgressTest, UpdatesArriveInOrderAndNoneAfterReturn) {
  constexpr uint32_t kCount = 40;
  std::mutex mutex;
  std::vector<ProgressUpdate> updates;
  std::atomic<bool> returned{false};
  std::atomic<int> after_return{0};
  RunWithProgress(
      Provider(), "ReplicateContainer", kReplicateContainerId,
      [&](ProgressUpdate update) {
        if (returned) ++after_return;
        std::lock_guard lock(mutex);
        updates.push_back(std::move(update));
        if (updates.size() == kCount) {
          EXPECT_THAT(Call<GetAuthorizationRequest>(kGetAuthorizationId, *session_),
                      testing::Succeeded());
        }
      },
      Container(1), Container(kCount));
  returned = true;

  std::lock_guard lock(mutex);
  ASSERT_GE(updates.size(), kCount);
  for (uint32_t index = 0; index < kCount; ++index) {
    const ProgressUpdate expected = index % 2 == 0
                                        ? ProgressUpdate(double(index) / kCount)
                                        : ProgressUpdate("step " + std::to_string(index));
    EXPECT_EQ(updates[index], expected) << index;
  }
  for (size_t index = kCount; index < updates.size(); ++index) {
    EXPECT_EQ(updates[index], ProgressUpdate("late " + std::to_string(index - kCount)));
  }
  EXPECT_EQ(after_return, 0);
}

TEST_F(RunWithProgressTest, CallWithoutProgressReturnsAfterTheLoop) {
  int calls = 0;
  EXPECT_THROW(RunWithProgress(
                   Provider(), "ReplicateContainer", kReplicateContainerId,
                   [&](ProgressUpdate) { ++calls; }, Container(150), Container(2)),
               Error);
  EXPECT_EQ(calls, 0);
}

TEST_F(RunWithProgressTest, ErrorsOfTheHelperTheTransportAndTheSession) {
  const auto replicate = [&](uint32_t source) {
    return [this, source] {
      RunWithProgress(
          Provider(), "ReplicateContainer", kReplicateContainerId, [](ProgressUpdate) {},
          Container(source), Container(0));
    };
  };
  const auto build_recovery = [](SessionProvider provider) {
    return [=] {
      RunWithProgress(
          provider, "BuildRecovery", kBuildRecoveryId, [](ProgressUpdate) {},
          mcom::DiskName{4, mcom::DiskName::kNoSlice});
    };
  };
  // The helper's own error, unchanged.
  EXPECT_THAT(replicate(2), ThrowsError("ReplicateContainer", "failed", ErrorIs("asr", "boom")));
  EXPECT_THAT(build_recovery(Provider()),
              ThrowsError("BuildRecovery", std::to_string(getpid()) + " disk4"));
  // A transport failure, as a communication error.
  EXPECT_THAT(replicate(3),
              ThrowsError("ReplicateContainer",
                          "helper communication error: (ipc/mig) client type check failure"));
  // No session, wrapped.
  const SessionProvider failing = []() -> SessionResult {
    return Error("CreateSession", "bootstrap lookup failed with error: 1102");
  };
  EXPECT_THAT(build_recovery(failing),
              ThrowsError("BuildRecovery", "failed to create session",
                          ErrorIs("CreateSession", "bootstrap lookup failed with error: 1102")));
}

}  // namespace
}  // namespace mach
