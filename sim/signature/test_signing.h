#pragma once

#include <cstddef>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/signature/code_signature.h"

// Test support: signed copies of real programs.
namespace sim::signature::testing {

// Writes the program at `original` signed by `identity` to `copy` (mode 0700, replacing what
// is there) and returns `copy`. Throws std::runtime_error when either file fails.
mcom::FilePath WriteSignedCopy(const mcom::FilePath& original, const mcom::FilePath& copy,
                               const SigningIdentity& identity, const SigningRequest& request);

// An application bundle at `bundle` ("X.app") as the maker builds it, for tests of
// installing its helper: Contents/Info.plist naming `helper_requirement` for the helper under
// SMPrivilegedExecutables; Contents/MacOS/Dorvane, a copy of `program` signed with the
// maker's Developer ID key as `identifier`; and at
// Contents/Library/LaunchServices/com.halvex-software.Dorvane.helper a copy of the unsigned
// helper `helper` (with `helper_padding` bytes appended, which changes its code but not how
// it runs) signed by `helper_identity` with helper/Info.plist sealed. Everything readable
// and runnable by every user. Returns the executable's path.
struct TestBundle {
  mcom::FilePath program;
  std::string identifier;
  mcom::FilePath helper;
  SigningIdentity helper_identity;
  std::string helper_requirement;
  size_t helper_padding = 0;
};
mcom::FilePath WriteTestBundle(const mcom::FilePath& bundle, const TestBundle& contents);

}  // namespace sim::signature::testing
