#include "core/discovery/apfs_volume_info.h"

#include <string_view>

#include "core/discovery/service_property.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_string.h"

namespace mcom {
namespace {

// A volume outside any group carries this instead of leaving the key out.
constexpr std::string_view kNoVolumeGroup = "00000000-0000-0000-0000-000000000000";

std::optional<APFSVolumeRole> RoleOf(const cf::Ref<cf::Array>& roles) {
  if (!roles || roles->Count() == 0) return std::nullopt;
  if (roles->Contains(cf::String::Create("System"))) return APFSVolumeRole::kSystem;
  if (roles->Contains(cf::String::Create("Data"))) return APFSVolumeRole::kData;
  return APFSVolumeRole::kOther;
}

}  // namespace

std::optional<APFSVolumeInfo> ReadAPFSVolumeInfo(const iokit::Service& volume) {
  const cf::Ref<cf::String> uuid = iokit::StringProperty(volume, "UUID");
  if (!uuid) return std::nullopt;
  const std::optional<DiskName> name = iokit::BSDName(volume);
  if (!name) return std::nullopt;

  APFSVolumeInfo info;
  info.uuid = uuid->utf8();
  info.role = RoleOf(iokit::ArrayProperty(volume, "Role"));
  if (const cf::Ref<cf::String> group = iokit::StringProperty(volume, "VolGroupUUID");
      group && group->utf8() != kNoVolumeGroup) {
    info.volume_group = group->utf8();
  }
  info.name = *name;
  return info;
}

}  // namespace mcom
