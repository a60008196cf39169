#pragma once

#include <optional>

#include "app/model/disk_name.h"
#include "app/model/disk_records.h"
#include "app/model/io_kit.h"

// Where a restored disk starts from: the Preboot volume the start-up disk is set to.
namespace app {

// The container's disk ("AppleAPFSMedia") under the partition's "AppleAPFSContainerScheme".
std::optional<IOKit::Service> ContainerMediaOnPartition(const DiskName& partition);
std::optional<APFSContainerName> ContainerOnPartition(const DiskName& partition);

// The first "AppleAPFSVolume" of the container whose "Role" list holds "Preboot".
std::optional<DiskName> PrebootVolumeOfContainer(const APFSContainerName& container);

// The Preboot volume of a restore target: of the container itself, or of the container
// that the restore made on the partition.
std::optional<DiskName> PrebootVolumeOfTarget(const RestoreTargetInfo& target);

}  // namespace app
