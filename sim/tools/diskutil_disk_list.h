#pragma once

#include <cstdint>
#include <optional>
#include <ostream>

#include "core/foundation/cf_dictionary.h"
#include "sim/machine/model.h"

// `diskutil list`, as text and as a property list.
namespace sim::tools::diskutil {

// The whole disk a listing of `reference` shows: the disk itself for a whole disk or a
// container, the whole disk of a partition, the container of a volume.
uint32_t ListedDiskNumber(mcom::DiskName name);

// The text of `diskutil list`: for each whole disk and container (or only for disk number
// `only`), in number order, a "/dev/diskN (internal, physical):" header ("external,
// physical", "disk image", "synthesized"), the column header "#: TYPE NAME SIZE
// IDENTIFIER", one row for the whole disk and one per partition or volume, and an empty
// line.
void WriteDiskList(const Model& model, std::optional<uint32_t> only, std::ostream& out);

// The property list of `diskutil list -plist` (for disk number `only`, or for all), with
// the keys and value types of the Mac's:
//   "AllDisks"               the identifiers, each whole disk followed by its partitions
//                            (or a container by its volumes) in slice order;
//   "AllDisksAndPartitions"  one dictionary per whole disk: "Content", "DeviceIdentifier",
//                            "OSInternal", "Size", "Partitions" (a partitioned disk; each
//                            with "Content", "DeviceIdentifier", "DiskUUID", "Size" and, for a
//                            volume on it, "VolumeName", "VolumeUUID", "MountPoint"); for a
//                            container also "APFSPhysicalStores" and "APFSVolumes" (each
//                            with "CapacityInUse", "DeviceIdentifier", "DiskUUID",
//                            "MountPoint" when mounted, "MountedSnapshots", "OSInternal",
//                            "Size", "VolumeName", "VolumeUUID") and an empty "Partitions";
//   "VolumesFromDisks"       the names of the mounted volumes listed;
//   "WholeDisks"             the whole disks' identifiers.
mcom::cf::Ref<mcom::cf::Dictionary> DiskListPropertyList(const Model& model,
                                                         std::optional<uint32_t> only);

}  // namespace sim::tools::diskutil
