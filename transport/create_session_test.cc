// Sessions with a helper-shaped server in another process (see test_children.h).

#include "transport/create_session.h"

#include <gmock/gmock.h>

#include <variant>

#include "tests/support/error_matchers.h"
#include "tests/support/temporary_folder.h"
#include "transport/test_children.h"

namespace mach {
namespace {

using testing::ErrorIs;
using testing::VariantWith;
using transport_testing::Child;

TEST(CreateSessionTest, AnUnknownServiceOrARefusedCallerGetsNoSession) {
  testing::TemporaryMachineRoot root;
  EXPECT_THAT(CreateSession(),
              VariantWith<Error>(ErrorIs(
                  "CreateSession", "bootstrap lookup failed with error: " +
                                       std::system_category().message(BOOTSTRAP_UNKNOWN_SERVICE))));

  Child server("session_server", {root.path().string(), "refuse"});
  ASSERT_EQ(server.ReadLine(), "ready");
  EXPECT_THAT(
      CreateSession(),
      VariantWith<Error>(ErrorIs(
          "CreateSession", "failed to get session port: (ipc/mig) client type check failure")));
}

TEST(CreateSessionTest, SessionCarriesTheHelpersAuditToken) {
  testing::TemporaryMachineRoot root;
  Child server("session_server", {root.path().string(), "serve"});
  ASSERT_EQ(server.ReadLine(), "ready");
  std::variant<Session, Error> session = CreateSession();
  ASSERT_TRUE(std::holds_alternative<Session>(session));
  const Session& held = std::get<Session>(session);
  EXPECT_TRUE(held.port);
  EXPECT_EQ(held.helper.pid(), server.pid());
  EXPECT_EQ(held.helper.effective_user_id(), geteuid());
  EXPECT_EQ(held.helper.effective_group_id(), getegid());
  EXPECT_EQ(held.helper.real_user_id(), geteuid());
}

// The helper learns that nobody holds a session any more when the last holder is gone, and
// not before: two client processes take sessions; the first quits, and the second still
// finds no notification counted; once the second quits, the notification comes.
TEST(CreateSessionTest, NoSendersWhenTheLastClientProcessExits) {
  testing::TemporaryMachineRoot root;
  Child server("session_server", {root.path().string(), "serve"});
  ASSERT_EQ(server.ReadLine(), "ready");

  Child first("session_client", {root.path().string()});
  Child second("session_client", {root.path().string()});
  ASSERT_EQ(first.ReadLine(), "session");
  ASSERT_EQ(second.ReadLine(), "session");

  first.CloseInput();
  EXPECT_EQ(first.Wait(), 0);
  second.WriteLine("ping");
  EXPECT_EQ(second.ReadLine(), "count 0");

  second.CloseInput();
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_EQ(server.ReadLine(), "no sessions!");

  // A new session re-arms the notification.
  Child third("session_client", {root.path().string()});
  ASSERT_EQ(third.ReadLine(), "session");
  third.WriteLine("ping");
  EXPECT_EQ(third.ReadLine(), "count 1");
  third.CloseInput();
  EXPECT_EQ(third.Wait(), 0);
  EXPECT_EQ(server.ReadLine(), "no sessions!");
}

}  // namespace
}  // namespace mach
