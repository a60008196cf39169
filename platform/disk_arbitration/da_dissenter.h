#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/cf_string.h"

// The refusal of a disk-arbitration request (DADissenter.h): a status and an optional text.
// The service answers a request with a dissenter, or with none when it was carried out; an
// approval callback refuses a mount by returning one.
namespace platform {

// A status of the service: 0, or err_local | err_local_diskarbitration | n.
using DAReturn = int32_t;

constexpr DAReturn DiskArbitrationStatus(uint32_t code) {
  return static_cast<DAReturn>(0xF8DA0000u | code);
}

inline constexpr DAReturn kDAReturnSuccess = 0;
inline constexpr DAReturn kDAReturnError = DiskArbitrationStatus(0x01);
inline constexpr DAReturn kDAReturnBusy = DiskArbitrationStatus(0x02);
inline constexpr DAReturn kDAReturnBadArgument = DiskArbitrationStatus(0x03);
inline constexpr DAReturn kDAReturnExclusiveAccess = DiskArbitrationStatus(0x04);
inline constexpr DAReturn kDAReturnNoResources = DiskArbitrationStatus(0x05);
inline constexpr DAReturn kDAReturnNotFound = DiskArbitrationStatus(0x06);
inline constexpr DAReturn kDAReturnNotMounted = DiskArbitrationStatus(0x07);
inline constexpr DAReturn kDAReturnNotPermitted = DiskArbitrationStatus(0x08);
inline constexpr DAReturn kDAReturnNotPrivileged = DiskArbitrationStatus(0x09);
inline constexpr DAReturn kDAReturnNotReady = DiskArbitrationStatus(0x0A);
inline constexpr DAReturn kDAReturnNotWritable = DiskArbitrationStatus(0x0B);
inline constexpr DAReturn kDAReturnUnsupported = DiskArbitrationStatus(0x0C);

// A dissenter. Opaque and immutable; reference counted like the platform's objects (CFRetain
// and CFRelease below), so it may be handed between threads.
struct DADissenter;
using DADissenterRef = DADissenter*;

// A new dissenter with `status` and an optional `string` (null for none), with one reference
// for the caller. The process that made it is recorded, as the platform does.
DADissenterRef DADissenterCreate(DAReturn status, mcom::cf::Ref<mcom::cf::String> string);

// The status; kDAReturnSuccess for a null dissenter.
DAReturn DADissenterGetStatus(DADissenterRef dissenter);

// The text, shared, or null when it has none (or `dissenter` is null).
mcom::cf::Ref<mcom::cf::String> DADissenterGetStatusString(DADissenterRef dissenter);

// One more reference to `dissenter` (returned), or one less; the dissenter goes with its last
// reference. Null is ignored.
DADissenterRef CFRetain(DADissenterRef dissenter);
void CFRelease(DADissenterRef dissenter);

// The text "%@" shows for a dissenter (CFCopyDescription): the dictionary the platform keeps
// a dissenter in, on one line:
//   { DAProcessID = 4242; DAStatus = 0xf8da0002; }
//   { DAProcessID = 4242; DAStatus = 0xf8da0008; DAStatusString = "mount point is busy"; }
// "(null)" for null.
std::string CFCopyDescription(DADissenterRef dissenter);

}  // namespace platform
