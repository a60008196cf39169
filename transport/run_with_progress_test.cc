// Long requests with progress against a helper-shaped server in another process (see
// test_children.h).

#include "transport/run_with_progress.h"

#include <gmock/gmock.h>

#include <atomic>
#include <mutex>
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

TEST_F(RunWithProgressTest, HelpersErrorIsThrownUnchanged) {
  try {
    RunWithProgress(
        Provider(), "ReplicateContainer", kReplicateContainerId, [](ProgressUpdate) {},
        Container(2), Container(0));
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error, Error("ReplicateContainer", "failed", Error("asr", "boom")));
  }
  try {
    RunWithProgress(
        Provider(), "BuildRecovery", kBuildRecoveryId, [](ProgressUpdate) {},
        mcom::DiskName{4, mcom::DiskName::kNoSlice});
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error, Error("BuildRecovery", std::to_string(getpid()) + " disk4"));
  }
}

TEST_F(RunWithProgressTest, TransportFailureIsACommunicationError) {
  try {
    RunWithProgress(
        Provider(), "ReplicateContainer", kReplicateContainerId, [](ProgressUpdate) {},
        Container(3), Container(0));
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error, Error("ReplicateContainer",
                           "helper communication error: (ipc/mig) client type check failure"));
  }
}

TEST_F(RunWithProgressTest, MissingSessionIsWrapped) {
  const SessionProvider failing = []() -> SessionResult {
    return Error("CreateSession", "bootstrap lookup failed with error: 1102");
  };
  try {
    RunWithProgress(
        failing, "BuildRecovery", kBuildRecoveryId, [](ProgressUpdate) {},
        mcom::DiskName{4, mcom::DiskName::kNoSlice});
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error, Error("BuildRecovery", "failed to create session",
                           Error("CreateSession", "bootstrap lookup failed with error: 1102")));
  }
}

}  // namespace
}  // namespace mach
