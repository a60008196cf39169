#pragma once

#include <optional>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/file_path.h"
#include "platform/disk_arbitration/da_internal_linux.h"
#include "sim/machine/model.h"

// The disks of the simulated machine as the disk-arbitration service sees them: which exist,
// what their descriptions hold, which volume is mounted where. Internal to the Linux
// stand-in; everything here reads a model the caller has read.
namespace platform::da_internal {

// The model of the machine at `root` as it is now (read under the machine's shared lock), or
// nothing when `root` holds no machine or its state cannot be read.
std::optional<sim::Model> ReadMachine(const mcom::FilePath& root);

// Whether the machine has a disk of that name: a whole disk, a partition, an APFS
// container's disk or an APFS volume.
bool HasDisk(const sim::Model& model, mcom::DiskName name);

// Every disk of the machine with its identity, in BSD-name order.
std::vector<DiskIdentity> ListDisks(const sim::Model& model);

// The description of the disk `name` (da_disk.h gives the keys), or null when the machine
// has no such disk. The running system's System and Data volumes have the volume paths
// `root` and `root`/System/Volumes/Data.
mcom::cf::Ref<mcom::cf::Dictionary> DescribeDisk(const sim::Model& model,
                                                 const mcom::FilePath& root, mcom::DiskName name);

// The volume whose mount point is the directory `path` names (see DADiskCreateFromVolumePath
// for the running system's volumes), or nothing.
std::optional<mcom::DiskName> VolumeMountedAt(const sim::Model& model, const mcom::FilePath& root,
                                              const mcom::FilePath& path);

// The BSD name of a disk-arbitration name: "disk2s1" or "/dev/disk2s1"; nothing otherwise.
std::optional<mcom::DiskName> ParseDiskName(std::string_view name);

}  // namespace platform::da_internal
