#pragma once

#include <cstdint>

// The platform's IOReturn statuses (IOKit/IOReturn.h) that the registry stand-in answers
// with. Their texts come from mach_error_string (platform/mach_error.h) through the
// "mcom::iokit" error category.
namespace platform {

using IOReturn = int32_t;

// iokit_common_err(x): system 0x38, subsystem 0.
constexpr IOReturn IOKitCommonError(uint32_t code) {
  return static_cast<IOReturn>(0xE0000000u | code);
}

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = IOKitCommonError(0x2bc);     // general error
inline constexpr IOReturn kIOReturnNoMemory = IOKitCommonError(0x2bd);  // can't allocate memory
inline constexpr IOReturn kIOReturnNoDevice = IOKitCommonError(0x2c0);  // no such device
inline constexpr IOReturn kIOReturnNotPrivileged = IOKitCommonError(0x2c1);  // privilege violation
inline constexpr IOReturn kIOReturnBadArgument = IOKitCommonError(0x2c2);    // invalid argument
inline constexpr IOReturn kIOReturnUnsupported = IOKitCommonError(0x2c7);    // unsupported function
inline constexpr IOReturn kIOReturnNotReadable = IOKitCommonError(0x2ce);    // read not supported
inline constexpr IOReturn kIOReturnNoSpace = IOKitCommonError(0x2db);        // no space for data
inline constexpr IOReturn kIOReturnNotFound = IOKitCommonError(0x2f0);       // data was not found

}  // namespace platform
