#pragma once

// One operation per disk. Two restores onto one disk at once would interleave their copies
// and one of them would report success over a mixed copy, so each operation claims the
// whole disks it writes to for as long as it runs. A claim is an exclusive lock on a file
// named after the disk in the machine's run folder
// ("/private/var/run/com.halvex-software.Dorvane/disk5.claim"); the system drops it when
// the process ends, however it ends, so a killed run never leaves a disk claimed.

#include <vector>

#include "core/foundation/disk_name.h"
#include "core/foundation/file.h"

class DiskClaims {
 public:
  // Claims every disk of `disks`, or none: throws Error(operation, "disk5 is in use by
  // another Dorvane operation") when any is claimed already (by this process or another),
  // and Error(operation, "cannot claim disk5: " + reason) when the claim file cannot be made.
  DiskClaims(const std::vector<mcom::DiskName>& disks, const char* operation);

  DiskClaims(DiskClaims&&) = default;
  DiskClaims& operator=(DiskClaims&&) = default;

 private:
  std::vector<mcom::File> locks_;
};
