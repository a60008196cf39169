#include "core/discovery/container_size.h"

#include "core/foundation/error_category.h"
#include "platform/iokit/apfs.h"

namespace mcom {

std::variant<uint64_t, Error> GetContainerSize(APFSContainerName container) {
  platform::APFSContainerSpaceInfo info;
  const platform::IOReturn status =
      platform::APFSContainerGetSpaceInfo(FormatDiskName(container).c_str(), &info, 0);
  if (status != platform::kIOReturnSuccess) {
    return Error("APFSContainerGetSpaceInfo", iokit::category().message(status));
  }
  return info.size;
}

}  // namespace mcom
