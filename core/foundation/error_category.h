#pragma once

// The error categories of the system's platform codes. Each is a function-local static
// created on first use; only name() and message() are the category's own.
//
//   category                         name()                    message(code)
//   mcom::disk_arbitration::category "mcom::disk_arbitration"  the platform's text of a
//                                                               DiskArbitration status
//   mcom::iokit::category            "mcom::iokit"             mach_error_string(code)
//   mcom::security_category          "security"                the Security framework's text
//                                                               (empty when it has none)
//   mach::error_category             "mach"                    mach_error_string(code)
//
// errno values use std::generic_category(); the result of waiting for a child, a failed
// process-path look-up and some wrappers' success codes use std::system_category(). A code
// of 0 is success whatever its category.

#include <system_error>

namespace mcom {
namespace disk_arbitration {
const std::error_category& category();
}
namespace iokit {
const std::error_category& category();
}
const std::error_category& security_category();

// Does nothing for a code of 0. Otherwise logs "error %d (0x%x): %s" at error level with the
// value in decimal and hexadecimal and the code's message, then throws std::system_error
// with the code.
void ThrowIfError(std::error_code error);

}  // namespace mcom

namespace mach {
const std::error_category& error_category();
}
