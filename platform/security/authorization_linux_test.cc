#include "platform/security/authorization.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/foundation/system_path.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

constexpr char kBlessRight[] = "com.apple.ServiceManagement.blesshelper";
constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";

OSStatus ObtainBlessRight(AuthorizationRef authorization, AuthorizationFlags flags,
                          AuthorizationRights** authorized = nullptr) {
  AuthorizationItem item{kBlessRight, std::strlen(kLabel), const_cast<char*>(kLabel), 0};
  AuthorizationRights rights{1, &item};
  return AuthorizationCopyRights(authorization, &rights, nullptr, flags, authorized);
}

// The first of `steps` whose status is not what it expects, as a child's exit status; 0 when
// all are.
int FirstUnexpected(std::initializer_list<std::pair<OSStatus, OSStatus>> steps) {
  int step = 1;
  for (const auto& [status, expected] : steps) {
    if (status != expected) return step;
    ++step;
  }
  return 0;
}

class AuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "plays root and a normal user, so it needs root";
    sim::testing::MakeTestMachine(folder_.Join("mac"));
    ::chmod(folder_.path().c_str(), 0755);  // for the normal user
    mcom::SetSystemRoot(folder_.Join("mac"));
  }
  void TearDown() override { mcom::SetSystemRoot(mcom::FilePath("/")); }

  void AdministratorApproves(bool approves) {
    sim::Machine(folder_.Join("mac")).Change([&](sim::Model& model) {
      sim::ApplySetting(model, "administrator-approves", approves ? "yes" : "no");
    });
  }

  ::testing::TemporaryFolder folder_;
};

TEST_F(AuthorizationTest, RootIsGrantedWithoutAPromptAndLendsItsRightsThroughTheExternalForm) {
  AuthorizationRef root = nullptr;
  ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &root),
            errAuthorizationSuccess);
  EXPECT_EQ(ObtainBlessRight(root, kAuthorizationFlagDefaults), errAuthorizationDenied);
  AuthorizationRights* authorized = nullptr;
  ASSERT_EQ(ObtainBlessRight(root, kAuthorizationFlagExtendRights, &authorized),
            errAuthorizationSuccess);
  ASSERT_EQ(authorized->count, 1u);
  EXPECT_STREQ(authorized->items[0].name, kBlessRight);
  EXPECT_EQ(AuthorizationFreeItemSet(authorized), errAuthorizationSuccess);
  AuthorizationExternalForm form{};
  ASSERT_EQ(AuthorizationMakeExternalForm(root, &form), errAuthorizationSuccess);

  // A normal user's process holds the right through the form, without a prompt.
  AdministratorApproves(false);
  EXPECT_EQ(
      ::testing::RunUnprivileged([&] {
        AuthorizationRef borrowed = nullptr;
        const OSStatus made = AuthorizationCreateFromExternalForm(&form, &borrowed);
        return FirstUnexpected(
            {{made, errAuthorizationSuccess},
             {ObtainBlessRight(borrowed, kAuthorizationFlagDefaults), errAuthorizationSuccess},
             {AuthorizationFree(borrowed, kAuthorizationFlagDefaults), errAuthorizationSuccess}});
      }),
      0);

  // Destroying the rights ends every reference made from the form.
  EXPECT_EQ(AuthorizationFree(root, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
  AuthorizationRef gone = nullptr;
  EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, &gone), errAuthorizationInvalidRef);
  EXPECT_EQ(gone, nullptr);
  AuthorizationExternalForm unknown{};
  unknown.bytes[0] = 1;
  EXPECT_EQ(AuthorizationCreateFromExternalForm(&unknown, &gone), errAuthorizationInvalidRef);
}

TEST_F(AuthorizationTest, ANormalUserNeedsThePromptAndTheAdministratorsApproval) {
  const auto obtain_as_user = [] {
    AuthorizationRef user = nullptr;
    const OSStatus made = AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &user);
    const OSStatus without_prompt = ObtainBlessRight(user, kAuthorizationFlagExtendRights);
    const OSStatus with_prompt = ObtainBlessRight(
        user, kAuthorizationFlagExtendRights | kAuthorizationFlagInteractionAllowed);
    (void)AuthorizationFree(user, kAuthorizationFlagDestroyRights);
    if (made != errAuthorizationSuccess) return 1;
    if (without_prompt != errAuthorizationInteractionNotAllowed) return 2;
    return with_prompt == errAuthorizationSuccess    ? 10
           : with_prompt == errAuthorizationCanceled ? 11
                                                     : 12;
  };
  AdministratorApproves(true);
  EXPECT_EQ(::testing::RunUnprivileged(obtain_as_user), 10);
  AdministratorApproves(false);
  EXPECT_EQ(::testing::RunUnprivileged(obtain_as_user), 11);

  AuthorizationRef root = nullptr;
  ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &root),
            errAuthorizationSuccess);
  EXPECT_EQ(ObtainBlessRight(root, 1u << 5), errAuthorizationInvalidFlags);
  EXPECT_EQ(AuthorizationCopyRights(root, nullptr, nullptr, 0, nullptr),
            errAuthorizationInvalidSet);
  EXPECT_EQ(AuthorizationFree(root, kAuthorizationFlagExtendRights), errAuthorizationInvalidFlags);
  EXPECT_EQ(AuthorizationFree(root, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
  EXPECT_EQ(ObtainBlessRight(nullptr, 0), errAuthorizationInvalidRef);
}

}  // namespace
}  // namespace platform
