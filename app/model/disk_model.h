#pragma once

#include <vector>

#include "app/model/disk_records.h"

// What the selection screens list. Each call reads the registry and disk arbitration
// afresh and blocks for as long as they take; a disk whose record cannot be built is left
// out, and an empty list is a valid answer.
namespace app {

// The APFS containers that can be backed up, in registry order.
std::vector<APFSContainerInfo> SourceContainers();

// The partitions of GUID-partitioned disks that can receive a restore, in registry order:
// a partition holding an APFS container as that container (once, though a Fusion container
// sits on two partitions), any other as the partition. EFI system partitions never appear.
std::vector<RestoreTargetInfo> RestoreTargets();

}  // namespace app
