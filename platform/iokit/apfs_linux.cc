#ifndef __linux__
#error "This file answers the APFS space query from the simulated Mac's registry on Linux only."
#endif

#include "platform/iokit/apfs.h"

#include <memory>
#include <optional>

#include "core/foundation/cf_number.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/system_path.h"
#include "platform/iokit/registry_file_linux.h"
#include "platform/iokit/registry_snapshot_linux.h"
#include "sim/machine/machine.h"
#include "sim/machine/model.h"

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

IOReturn APFSExtendedSpaceInfo(const char* bsd_name, mcom::cf::Ref<mcom::cf::Dictionary>* info) {
  if (info == nullptr) return kIOReturnBadArgument;
  APFSContainerSpaceInfo space;
  if (const IOReturn status = APFSContainerGetSpaceInfo(bsd_name, &space, 0); status != 0) {
    return status;
  }
  const std::optional<mcom::DiskName> container = mcom::ParseDiskName(bsd_name);
  if (!container) return kIOReturnNotFound;
  std::optional<sim::Model> model;
  try {
    model = sim::Machine(mcom::SystemPath("/")).Read();
  } catch (const std::exception&) {
    return kIOReturnError;
  }

  const auto entry = [](std::string_view key, uint64_t value) {
    auto counts = mcom::cf::MutableDictionary::Create();
    counts->SetValue(key, mcom::cf::Number::CreateUnsigned(value));
    return counts;
  };
  auto answer = mcom::cf::MutableDictionary::Create();
  auto own = entry("size", space.size);
  own->SetValue("used", mcom::cf::Number::CreateUnsigned(
                            space.free < space.size ? space.size - space.free : 0));
  answer->SetValue(bsd_name, own);
  for (const sim::Volume* volume : sim::VolumesOfContainer(*model, container->disk)) {
    answer->SetValue(mcom::FormatDiskName(volume->disk), entry("fs_used", volume->used));
  }
  *info = answer;
  return kIOReturnSuccess;
}

}  // namespace platform
