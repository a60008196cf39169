#pragma once

// Internal to the foundation and its tests.

#include <system_error>

namespace mcom::internal {

// The probe's verdict on the outcome of reading the protected attribute: only EPERM (in any
// category) means that the system refused this process access.
bool AccessFromProbeResult(std::error_code error);

}  // namespace mcom::internal
