#pragma once

#include "core/foundation/file_path.h"
#include "sim/signature/code_signature.h"

// Test support: signed copies of real programs.
namespace sim::signature::testing {

// Writes the program at `original` signed by `identity` to `copy` (mode 0700, replacing what
// is there) and returns `copy`. Throws std::runtime_error when either file fails.
mcom::FilePath WriteSignedCopy(const mcom::FilePath& original, const mcom::FilePath& copy,
                               const SigningIdentity& identity, const SigningRequest& request);

}  // namespace sim::signature::testing
