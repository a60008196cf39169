#pragma once

#include <sys/types.h>

#include <string_view>

#include "core/foundation/cf_error.h"
#include "platform/security/authorization.h"

// The service manager (ServiceManagement.framework): installing a privileged helper that an
// application carries, and where launchd is.
namespace platform {

inline constexpr std::string_view kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
inline constexpr char kSMRightBlessPrivilegedHelper[] = "com.apple.ServiceManagement.blesshelper";

// The errors SMJobBless reports, in kSMErrorDomainLaunchd (SMErrors.h; the codes of the
// header as we know it, not confirmed on a current system).
inline constexpr std::string_view kSMErrorDomainLaunchd = "CFErrorDomainLaunchd";
inline constexpr long kSMErrorInternalFailure = 2;
inline constexpr long kSMErrorInvalidSignature = 3;
inline constexpr long kSMErrorAuthorizationFailure = 4;
inline constexpr long kSMErrorToolNotValid = 5;
inline constexpr long kSMErrorServiceUnavailable = 7;
inline constexpr long kSMErrorInvalidPlist = 10;

// SMJobBless in the system domain: installs the helper `label` that the calling process's
// main bundle carries at "Contents/Library/LaunchServices/<label>" and has launchd run it on
// demand from now on, replacing the job of that label. Answers false with `*error` (when
// given) and changes nothing when:
// - `domain` is not the system domain (kSMErrorInternalFailure);
// - `authorization` does not hold, and cannot obtain, the bless right
//   (kSMErrorAuthorizationFailure; a prompt is decided by the machine's "administrator
//   approves" fact);
// - the bundle's Info.plist names no requirement for `label` under SMPrivilegedExecutables,
//   or the helper is missing (kSMErrorToolNotValid);
// - the helper's signature is invalid or fails that requirement, or the calling program
//   satisfies none of the helper's SMAuthorizedClients (kSMErrorInvalidSignature);
// - the helper has no embedded launchd property list labelled `label`
//   (kSMErrorInvalidPlist);
// - launchd does not run (kSMErrorServiceUnavailable).
// Then it copies the helper to "/Library/PrivilegedHelperTools/<label>", writes its job to
// "/Library/LaunchDaemons/<label>.plist" (the embedded list with ProgramArguments naming the
// installed copy) and has launchd drop the old job and load the new one. On the simulated Mac
// the calling process writes those files itself, so it must be allowed to (root).
bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                mcom::cf::Ref<mcom::cf::Error>* error);

// The process id of launchd, whose children are the jobs it started: 1 on the Mac; on the
// simulated Mac the machine's launcher, or 0 when it does not run.
pid_t LaunchdProcessId();

}  // namespace platform
