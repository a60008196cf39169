#pragma once

// Which disk a restore may erase. A restore erases its target, so every rule is checked
// against the registry before anything changes, and the target the user named is turned
// into the one disk the replication will write:
//  - an APFS container is used as it is;
//  - a partition is used through the container on it, or gets a new container;
//  - a whole disk without a partition map is used through its container or gets one;
//  - a whole disk with a partition map is used through its only APFS container, or through
//    its only partition besides the EFI system partition; otherwise the user must name one.
// Refused: a disk the Mac does not have, an APFS volume, an EFI system partition, anything
// holding the running system (its container, the container's stores, their whole disks),
// and anything holding the image file itself (its volume, that volume's container, stores
// and whole disks).

#include <string>
#include <vector>

#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

struct RestoreTarget {
  mcom::DiskName disk;        // the container, or the disk or partition to make one on
  bool is_container = false;  // false: a container is created on `disk` (erasing it)
  std::vector<mcom::DiskName> physical_disks;  // the whole disks the restore writes to
};

// Checks `target` for a restore of the image at `image_path`. Throws Error("PerformRestore",
// reason) for a target that must not be erased, naming the disk and the reason; registry
// failures pass through as std::system_error.
RestoreTarget CheckRestoreTarget(const mcom::FilePath& image_path, mcom::DiskName target);
