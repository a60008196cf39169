#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine/model.h"

// What a disk argument of diskutil names, and the facts about a disk that its listings
// print.
namespace sim::tools::diskutil {

// A disk that exists on the machine, by what it is.
struct DiskReference {
  enum class Kind {
    kWholeDisk,  // a physical disk or an attached image: disk2
    kPartition,  // a partition of one: disk2s2 (with or without an HFS+ volume on it)
    kContainer,  // a container's synthesized disk: disk3
    kVolume,     // an APFS volume of a container: disk3s1
  };
  Kind kind = Kind::kWholeDisk;
  mcom::DiskName name;
};

// The disk that `argument` names: "disk2", "disk2s1" or "/dev/disk2" when the machine has
// it, or the mount point of a mounted volume ("/", "ROOT/Volumes/USB HFS"), as diskutil
// accepts them. Nothing for anything else.
std::optional<DiskReference> FindDiskReference(const Model& model, std::string_view argument);

// The numbers of every whole disk and container's synthesized disk, in number order: the
// order of diskutil's listings.
std::vector<uint32_t> WholeDiskNumbers(const Model& model);

// Where a volume is mounted as the Mac reports it: "/" and "/System/Volumes/Data" for the
// running system's volumes, the mount point of any other mounted volume, empty when it is
// not mounted.
std::string MountPointOf(const Model& model, const Volume& volume);

// The physical disk that `name` lives on (the first store's disk for a container or one of
// its volumes); null when the model has none.
const Disk* PhysicalDiskOf(const Model& model, mcom::DiskName name);

// Whether `name`, or anything on it, is a volume of the running system: such a disk
// cannot be unmounted, erased or reformatted.
bool HoldsRunningSystem(const Model& model, mcom::DiskName name);

// The name diskutil gives a GPT partition type ("EFI", "Apple_APFS", "Apple_HFS",
// "Apple_Boot", "Apple_APFS_ISC", "Apple_APFS_Recovery", "Apple_CoreStorage"); the type
// GUID itself for others.
std::string PartitionTypeName(std::string_view type_guid);

}  // namespace sim::tools::diskutil
