#pragma once

#include <cstdint>

// The status values of the disk-arbitration service (DADissenter.h), which the machine's
// mount service answers with. 0 is success.
namespace sim {

inline constexpr uint32_t kDAReturnSuccess = 0;
inline constexpr uint32_t kDAReturnError = 0xF8DA0001;
inline constexpr uint32_t kDAReturnBusy = 0xF8DA0002;
inline constexpr uint32_t kDAReturnBadArgument = 0xF8DA0003;
inline constexpr uint32_t kDAReturnExclusiveAccess = 0xF8DA0004;
inline constexpr uint32_t kDAReturnNoResources = 0xF8DA0005;
inline constexpr uint32_t kDAReturnNotFound = 0xF8DA0006;
inline constexpr uint32_t kDAReturnNotMounted = 0xF8DA0007;
inline constexpr uint32_t kDAReturnNotPermitted = 0xF8DA0008;
inline constexpr uint32_t kDAReturnNotPrivileged = 0xF8DA0009;
inline constexpr uint32_t kDAReturnNotReady = 0xF8DA000A;
inline constexpr uint32_t kDAReturnNotWritable = 0xF8DA000B;
inline constexpr uint32_t kDAReturnUnsupported = 0xF8DA000C;

}  // namespace sim
