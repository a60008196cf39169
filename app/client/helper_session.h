#pragma once

// The session with the privileged helper that the application's remote operations use. The
// first request of a process makes sure the helper that answers is exactly the copy inside
// the application's bundle: it borrows a ready-made authorization from a helper that may
// already run (possibly an older version), lets that helper exit, installs the bundle's helper
// with the service manager, opens a session with the freshly started helper and compares its
// code-directory hash with the bundle's copy. The validated session is cached for the life of
// the process; a failed attempt caches nothing, so the next request starts over.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/foundation/error.h"
#include "transport/audit_token.h"
#include "transport/run_with_progress.h"

inline constexpr char kInstalledHelperPath[] =
    "/Library/PrivilegedHelperTools/com.halvex-software.Dorvane.helper";
inline constexpr char kBundledHelperPath[] =
    "Contents/Library/LaunchServices/com.halvex-software.Dorvane.helper";

// The cached session, or the one made as above; Error("CreateSession", "helper validation
// failed", cause) when the running helper is not the bundle's, or the Error of the last
// CreateSession when no helper answers. Concurrent first calls wait for the first one and
// share its session. Blocks; call it from a background queue.
mach::SessionResult GetHelperSession();

// Waits until no child of launchd runs the installed helper: each is waited for by its exit,
// and probed every 10 s in case the notice is missed.
void WaitForHelperToFinish();

// Whether the helper that sent `helper_token` runs the code of the bundle's copy (equal
// code-directory hashes). The Error ("ValidateRunningHelper") when it does not or cannot be
// checked, which includes a program outside any application bundle; nothing when it does.
std::optional<Error> ValidateRunningHelper(const mcom::AuditToken& helper_token);

// 40 lower-case hexadecimal digits, two per byte, high nibble first.
std::string FormatCodeDirectoryHash(const std::array<uint8_t, 20>& hash);
