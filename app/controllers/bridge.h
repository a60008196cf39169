#pragma once

// The seam between the application's values and the core library: each call converts its
// arguments, runs the pipeline on the calling thread with a ProgressHandler on `progress`,
// and throws the pipeline's Error as a PlatformError.

#include <cstdint>
#include <memory>
#include <optional>

#include "app/controllers/progress.h"
#include "app/model/disk_name.h"
#include "core/foundation/file.h"
#include "core/foundation/file_path.h"

namespace app::bridge {

// A container crosses as a disk number and a slice number, negative for none.
struct ContainerName {
  int32_t disk = 0;
  int32_t slice = -1;
};

// The application's name as it crosses.
inline ContainerName ContainerNameOf(const DiskName& name) {
  return ContainerName{.disk = name.major, .slice = name.minor.value_or(-1)};
}

// Sets the total to 100 first.
void Backup(std::optional<ContainerName> source, const mcom::FilePath& destination,
            const std::shared_ptr<Progress>& progress);
// `target` is a whole disk, a partition or a container's disk (negative slice: none). Sets
// the total to 100 first.
void Restore(const mcom::FilePath& image, ContainerName target,
             const std::shared_ptr<Progress>& progress);
// Leaves the total as the caller made it (100 for the recovery-disk window).
void BuildRecovery(ContainerName target, const std::shared_ptr<Progress>& progress);
// The helper's log archive, or nothing.
std::optional<mcom::File> CollectLogs();

}  // namespace app::bridge
