#include "helper/authorization_form.h"

#include <cstring>
#include <mutex>
#include <string>

#include "platform/security/authorization.h"
#include "transport/message_catalogue.h"

namespace helper {
namespace {

constexpr char kBlessRight[] = "com.apple.ServiceManagement.blesshelper";

// The reference behind the form; kept for the life of the process, since the form is good
// only while the machine keeps it.
platform::AuthorizationRef kept_authorization = nullptr;

std::optional<AuthorizationExternalForm> MakeForm() {
  platform::AuthorizationRef authorization = nullptr;
  if (platform::AuthorizationCreate(nullptr, nullptr, platform::kAuthorizationFlagDefaults,
                                    &authorization) != platform::errAuthorizationSuccess) {
    return std::nullopt;
  }
  // The right's value names the job that may be blessed (its length without the terminator).
  std::string label = mach::kHelperServiceName;
  platform::AuthorizationItem item{kBlessRight, label.size(), label.data(), 0};
  const platform::AuthorizationRights rights{1, &item};
  platform::AuthorizationExternalForm platform_form{};
  if (platform::AuthorizationCopyRights(authorization, &rights, nullptr,
                                        platform::kAuthorizationFlagExtendRights,
                                        nullptr) != platform::errAuthorizationSuccess ||
      platform::AuthorizationMakeExternalForm(authorization, &platform_form) !=
          platform::errAuthorizationSuccess) {
    (void)platform::AuthorizationFree(authorization, platform::kAuthorizationFlagDefaults);
    return std::nullopt;
  }
  kept_authorization = authorization;
  AuthorizationExternalForm form;
  static_assert(sizeof form.bytes == sizeof platform_form.bytes);
  std::memcpy(form.bytes, platform_form.bytes, sizeof form.bytes);
  return form;
}

}  // namespace

std::optional<AuthorizationExternalForm> BlessAuthorizationForm() {
  static std::once_flag once;
  static std::optional<AuthorizationExternalForm> form;
  std::call_once(once, [] { form = MakeForm(); });
  return form;
}

}  // namespace helper
