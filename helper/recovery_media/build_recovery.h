#pragma once

// The helper's recovery-disk request: builds a recovery disk on the target named by the
// application, with the application that asked added to the recovery system.

#include <optional>

#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "core/foundation/file_path.h"
#include "helper/code_signing.h"
#include "helper/recovery_media/recovery_media.h"
#include "transport/audit_token.h"
#include "transport/port_right.h"

// The request's body: the application bundle is the caller's, from its code signature; the
// progress goes to `progress_port` (a vanished listener does not stop the build). Nothing on
// success, otherwise Error("BuildRecovery", ...).
std::optional<Error> BuildRecovery(mcom::DiskName target, mach::PortRight<mach::Send> progress_port,
                                   const mcom::AuditToken& caller);

// The bundle of the application whose code object is `code`: three folders above its main
// executable. Throws std::system_error.
mcom::FilePath ApplicationBundleOfCaller(const mcom::AuditToken& caller);

namespace recovery_media_internal {

// The build after the caller's bundle was found: refusals of CheckRecoveryTarget, then
// BuildRecoveryMedia with the application customisation.
std::optional<Error> BuildRecoveryWithBundle(mcom::DiskName target, const mcom::FilePath& bundle,
                                             helper::CertificateKind kind, bool t2,
                                             const RecoveryProgressCallback& progress);

}  // namespace recovery_media_internal
