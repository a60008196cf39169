#include "app/client/helper_session.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <variant>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/error_category.h"
#include "core/foundation/hex_text.h"
#include "core/foundation/log.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "helper/code_signing.h"
#include "platform/libc.h"
#include "platform/security/authorization.h"
#include "platform/service_management/service_management.h"
#include "transport/call.h"
#include "transport/create_session.h"
#include "transport/message_catalogue.h"

namespace {

namespace cf = mcom::cf;
using SessionRight = std::shared_ptr<const mach::PortRight<mach::Send>>;

constexpr std::chrono::seconds kProbeInterval(10);

// The process-wide cache: a semaphore of count 1 as its lock, and the session once one was
// validated (never cleared).
struct SessionCache {
  dispatch::Semaphore lock{1};
  SessionRight session;
};

SessionCache& Cache() {
  static auto* cache = new SessionCache;  // used until the process ends
  return *cache;
}

// Step 3: the form of a helper that may already run, as a reference; null when none runs or
// it gave none.
platform::AuthorizationRef BorrowAuthorization() {
  std::variant<mach::Session, Error> running = mach::CreateSession();
  if (!std::holds_alternative<mach::Session>(running)) return nullptr;
  const mach::CallResult<mach::GetAuthorizationRequest> reply =
      mach::Call<mach::GetAuthorizationRequest>(mach::kGetAuthorizationId,
                                                std::get<mach::Session>(running).port);
  if (!reply) {
    mcom::log::Error("no reply from helper: %{public}s", reply.error().message());
    return nullptr;
  }
  platform::AuthorizationExternalForm form;
  std::memcpy(form.bytes, reply->value.bytes, sizeof form.bytes);
  platform::AuthorizationRef authorization = nullptr;
  if (const platform::OSStatus status =
          platform::AuthorizationCreateFromExternalForm(&form, &authorization)) {
    mcom::log::Error("failed to create authorization from external form: %{public}s",
                     std::error_code(status, mcom::security_category()).message());
    return nullptr;
  }
  return authorization;  // the session of the running helper goes with `running`
}

void Bless(platform::AuthorizationRef borrowed) {
  mcom::log::Default("bless helper");
  platform::AuthorizationRef fresh = nullptr;
  (void)platform::AuthorizationCreate(nullptr, nullptr, platform::kAuthorizationFlagDefaults,
                                      &fresh);
  const bool blessed =
      platform::SMJobBless(platform::kSMDomainSystemLaunchd, mach::kHelperServiceName,
                           borrowed != nullptr ? borrowed : fresh, nullptr);
  for (platform::AuthorizationRef authorization : {borrowed, fresh}) {
    if (authorization) {
      (void)platform::AuthorizationFree(authorization, platform::kAuthorizationFlagDestroyRights);
    }
  }
  if (!blessed) mcom::log::Error("failed to bless helper");
}

std::vector<pid_t> RunningHelpers() {
  std::vector<pid_t> children;
  const pid_t launchd = platform::LaunchdProcessId();
  if (launchd <= 0 || platform::ChildProcesses(launchd, &children)) return {};
  const mcom::FilePath installed = mcom::SystemPath(kInstalledHelperPath);
  std::vector<pid_t> helpers;
  for (const pid_t child : children) {
    const mcom::Result<mcom::FilePath> executable = mcom::ExecutablePathOfProcess(child);
    if (executable && *executable == installed) helpers.push_back(child);
  }
  return helpers;
}

void WaitForExit(pid_t helper) {
  mcom::log::Default("waiting for %d to finish", helper);
  const dispatch::Semaphore exited(0);
  mcom::Result<mcom::DispatchSource> source =
      mcom::CreateProcessExitSource(helper, dispatch::GlobalQueue());
  if (source) {
    source->SetEventHandler([exited] { exited.Signal(); });
    source->Resume();
  }
  while (!exited.Wait(dispatch::After(kProbeInterval))) {
    if (::kill(helper, 0) != 0 && errno == ESRCH) break;
  }
  if (source) source->Cancel();
}

}  // namespace

std::string FormatCodeDirectoryHash(const std::array<uint8_t, 20>& hash) {
  return mcom::HexOf(hash);
}

void WaitForHelperToFinish() {
  for (;;) {
    const std::vector<pid_t> helpers = RunningHelpers();
    mcom::log::Default("found %lu helper instances", static_cast<unsigned long>(helpers.size()));
    if (helpers.empty()) return;
    for (const pid_t helper : helpers) WaitForExit(helper);
  }
}

std::optional<Error> ValidateRunningHelper(const mcom::AuditToken& helper_token) {
  mcom::log::Default("validate running helper (%d)", helper_token.pid());
  try {
    const helper::SigningInformation running =
        helper::CopySigningInformation(helper::CopyGuestCode(helper_token).get());
    mcom::log::Default("running helper cdhash: %{public}s",
                       FormatCodeDirectoryHash(running.code_directory_hash));
    const cf::Ref<cf::Bundle> bundle = cf::Bundle::MainBundle();
    const std::optional<mcom::FilePath> bundle_path =
        bundle ? cf::CopyPathOfURL(bundle->BundleURL()) : std::nullopt;
    // Without a bundle there is nothing to compare with; whatever answers is not trusted.
    if (!bundle_path) {
      return Error("ValidateRunningHelper",
                   "this program has no application bundle whose helper it could compare with");
    }
    const helper::SigningInformation bundled = helper::CopySigningInformation(
        helper::CreateStaticCode(bundle_path->Join(kBundledHelperPath)).get());
    mcom::log::Default("bundled helper cdhash: %{public}s",
                       FormatCodeDirectoryHash(bundled.code_directory_hash));
    if (running.code_directory_hash != bundled.code_directory_hash) {
      return Error("ValidateRunningHelper",
                   "invalid helper version. helper path: " + running.executable.string());
    }
  } catch (const std::exception& failure) {
    return Error("ValidateRunningHelper", std::string("validation error: ") + failure.what());
  }
  return std::nullopt;
}

mach::SessionResult GetHelperSession() {
  SessionCache& cache = Cache();
  cache.lock.Wait(dispatch::kForever);
  const mcom::ScopeExit unlock([&cache] { cache.lock.Signal(); });
  if (cache.session) return cache.session;

  mcom::log::Default("Prepare helper for operation");
  mcom::log::Default("Authorize with helper");
  // Borrowing releases the running helper's session at once, which starts its idle exit.
  const platform::AuthorizationRef borrowed = BorrowAuthorization();
  mcom::log::Default("wait for helper to finish…");
  WaitForHelperToFinish();
  Bless(borrowed);

  std::variant<mach::Session, Error> created = mach::CreateSession();
  if (const Error* error = std::get_if<Error>(&created)) return *error;
  mach::Session& session = std::get<mach::Session>(created);
  if (const std::optional<Error> invalid = ValidateRunningHelper(session.helper)) {
    return Error("CreateSession", "helper validation failed", *invalid);
  }
  cache.session = std::make_shared<const mach::PortRight<mach::Send>>(std::move(session.port));
  return cache.session;
}
