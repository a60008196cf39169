#pragma once

#include <cstdint>

namespace platform {

using mach_error_t = int32_t;

// The platform's mach_error_string: the text of a kernel, IPC, MIG, BSD (unix_err) or IOKit
// status, exactly as the Mac prints it ("(ipc/send) invalid destination port",
// "(iokit/common) not permitted", "unknown error code").
//
// Returns null where the platform has no text at all: every status of a system without a
// table, which includes every DiskArbitration status (0xF8DA0001 and up).
const char* MachErrorString(mach_error_t error);

// A text for a DiskArbitration status ("(disk arbitration) busy"), for the statuses the
// platform itself leaves without one; null for anything that is not a DiskArbitration status.
const char* DiskArbitrationErrorString(mach_error_t error);

}  // namespace platform
