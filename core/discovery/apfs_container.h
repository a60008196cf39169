#pragma once

#include <optional>

#include "core/discovery/apfs_volume_info.h"
#include "core/discovery/property_query.h"
#include "core/foundation/disk_name.h"

// Registry look-ups of APFS containers. Each throws std::system_error (category
// "mcom::iokit") when the registry cannot be read; a disk the registry does not know is no
// error, only an empty answer.
namespace mcom {

// The APFS container on `disk` (a partition, or a whole disk without partitions): the
// services whose BSD name is `disk`, their children of class exactly
// "AppleAPFSContainerScheme", those children's children of class exactly "AppleAPFSMedia",
// and the first of these whose BSD name parses. The container's name is thus the BSD name of
// its synthesized disk (disk5 → disk6), never that of the physical store. Nothing when the
// disk holds no container.
std::optional<APFSContainerName> FindAPFSContainerOnDisk(DiskName disk);

// The container of the APFS volume `volume`: the first BSD name that parses two parent
// levels up (volume → AppleAPFSContainer → the container's synthesized disk). Only the
// registry walk: for a disk that is no volume the answer is whatever lies two levels up
// (the whole disk of a partition), so callers pass volumes only.
std::optional<APFSContainerName> FindAPFSContainerOfVolume(DiskName volume);

// The volumes of `container`, in registry order: the services whose BSD name is the
// container's, their children of class exactly "AppleAPFSContainer", those children's
// children of class exactly "AppleAPFSVolume", read by ReadAPFSVolumeInfo (services it
// cannot read are skipped).
iokit::PropertyQuery<APFSVolumeInfo> APFSVolumesOfContainer(APFSContainerName container);

}  // namespace mcom
