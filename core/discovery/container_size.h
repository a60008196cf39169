#pragma once

#include <cstdint>
#include <variant>

#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"

namespace mcom {

// The size in bytes of `container` (APFSContainerGetSpaceInfo with its name and no flags:
// the first field of the record it fills), or Error("APFSContainerGetSpaceInfo", the
// status's text) when the call fails, for example "(iokit/common) data was not found" for a
// disk that is no container.
std::variant<uint64_t, Error> GetContainerSize(APFSContainerName container);

}  // namespace mcom
