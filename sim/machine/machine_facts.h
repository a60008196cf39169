#pragma once

#include <optional>

#include "core/foundation/file_path.h"
#include "sim/signature/crypto.h"

// The facts the platform stand-ins read from the machine's facts folder (machine_paths.h),
// without taking the machine's lock or reading its model.
namespace sim {

// The public key the machine trusts as its root; nothing when it names none that can be read.
std::optional<signature::PublicKey> ReadTrustedAnchor(const mcom::FilePath& root);

// Whether an administrator approves authorization requests; false when the fact cannot be
// read (no machine: nobody to ask).
bool ReadAdministratorApproves(const mcom::FilePath& root);

// Whether the machine runs its recovery system, where the processes the system starts see
// "__OSINSTALL_ENVIRONMENT"; false when the fact cannot be read.
bool ReadRecoveryEnvironment(const mcom::FilePath& root);

}  // namespace sim
