#pragma once

#include <optional>
#include <string>

#include "core/discovery/service.h"
#include "core/foundation/disk_name.h"

// The role of an APFS volume as the system distinguishes it: the System and Data volumes of
// a macOS installation, and everything else (Preboot, Recovery, VM, ...).
enum class APFSVolumeRole { kSystem, kData, kOther };

// One APFS volume as the registry describes it.
struct APFSVolumeInfo {
  std::string uuid;                         // "UUID" (UTF-8)
  std::optional<APFSVolumeRole> role;       // from "Role"; empty when it has none
  std::optional<std::string> volume_group;  // "VolGroupUUID"; empty for none
  mcom::DiskName name;                      // its BSD name ("disk1s1")

  friend bool operator==(const APFSVolumeInfo&, const APFSVolumeInfo&) = default;
};

namespace mcom {

// The volume reader, for a service of class AppleAPFSVolume (the mapper of a
// PropertyQuery<APFSVolumeInfo>):
//   - "UUID" must be a string and the BSD name must parse, or there is no result;
//   - role: when "Role" is an array of at least one element, System if it holds the string
//     "System", else Data if it holds "Data", else Other; none when "Role" is missing, no
//     array or empty;
//   - volume group: "VolGroupUUID" when it is a string other than
//     "00000000-0000-0000-0000-000000000000"; none otherwise.
std::optional<APFSVolumeInfo> ReadAPFSVolumeInfo(const iokit::Service& volume);

}  // namespace mcom
