#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/foundation/disk_name.h"

// What a BSD name stands for in the registry, and what lies beneath it. Used to check a
// target before anything is erased: which physical disks an operation touches, and whether
// a name is a volume, a partition, a container or a whole disk. Each throws
// std::system_error (category "mcom::iokit") when the registry cannot be read.
namespace mcom {

enum class MediaKind {
  kWholeDisk,  // a physical disk or an image's disk
  kPartition,  // a partition of a whole disk (it may hold an HFS+ volume or a container)
  kContainer,  // an APFS container's synthesized disk
  kVolume,     // an APFS volume
};

// The kind of `disk`; empty when the registry does not know it.
std::optional<MediaKind> KindOfMedia(DiskName disk);

// The media's "Content" (a partition's type GUID, "GUID_partition_scheme", ...); empty when
// it has none.
std::optional<std::string> MediaContent(DiskName disk);

// The physical stores of a container: the partitions (or whole disks) whose container
// scheme holds it, in registry order; two for a Fusion drive.
std::vector<DiskName> PhysicalStoresOfContainer(APFSContainerName container);

// The whole disks `disk` lives on: itself for a whole disk, its disk for a partition, the
// whole disks of the stores for a container or one of its volumes. Sorted, no duplicates;
// empty for a name the registry does not know.
std::vector<DiskName> PhysicalWholeDisksOf(DiskName disk);

// The partitions of a whole disk, in registry order; none for a disk without a partition
// map.
std::vector<DiskName> PartitionsOfDisk(DiskName whole);

}  // namespace mcom
