#ifndef __linux__
#error "This file answers the APFS space query from the simulated Mac's registry on Linux only."
#endif

#include "platform/iokit/apfs.h"

#include <memory>
#include <optional>

#include "core/foundation/cf_number.h"
#include "platform/iokit/registry_file_linux.h"
#include "platform/iokit/registry_snapshot_linux.h"

namespace platform {
namespace {

using iokit_internal::RegistrySnapshot;

std::optional<uint64_t> UnsignedProperty(const RegistrySnapshot& registry, uint32_t index,
                                         std::string_view key) {
  const auto number = mcom::cf::As<mcom::cf::Number>(registry.Property(index, key));
  return number ? number->UInt64Value() : std::nullopt;
}

}  // namespace

IOReturn APFSContainerGetSpaceInfo(const char* bsd_name, APFSContainerSpaceInfo* info,
                                   uint32_t flags) {
  if (bsd_name == nullptr || info == nullptr || flags != 0) return kIOReturnBadArgument;
  std::shared_ptr<const RegistrySnapshot> registry;
  if (const IOReturn status = iokit_internal::CurrentRegistry(&registry); status != 0) {
    return status;
  }
  const std::vector<uint32_t>& disks = registry->EntriesWithBSDName(bsd_name);
  if (disks.empty()) return kIOReturnNoDevice;

  for (const uint32_t media : disks) {
    if (registry->entries()[media].class_name != "AppleAPFSMedia") continue;
    for (const uint32_t child : registry->entries()[media].children) {
      if (registry->entries()[child].class_name != "AppleAPFSContainer") continue;
      std::optional<uint64_t> size = UnsignedProperty(*registry, child, "Size");
      if (!size) size = UnsignedProperty(*registry, media, "Size");
      if (!size) return kIOReturnNotFound;
      info->size = *size;
      info->free = UnsignedProperty(*registry, child, "ContainerFree").value_or(0);
      return kIOReturnSuccess;
    }
  }
  return kIOReturnNotFound;
}

}  // namespace platform
