#include "app/controllers/bridge.h"

#include <string>

#include "app/client/remote_operations.h"
#include "app/client/replicator.h"
#include "app/controllers/platform_error.h"
#include "core/backup/backup.h"
#include "core/backup/restore.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"

namespace app::bridge {

namespace {

// The core library's name; a negative disk number names no disk at all.
mcom::DiskName CoreDiskName(ContainerName name, const char* operation) {
  if (name.disk < 0) {
    throw PlatformError(Error(operation, "invalid disk number " + std::to_string(name.disk)));
  }
  return mcom::DiskName{static_cast<uint32_t>(name.disk), name.slice < 0
                                                              ? mcom::DiskName::kNoSlice
                                                              : static_cast<uint32_t>(name.slice)};
}

// Runs `pipeline`, its Error thrown as the screens receive it.
template <typename Pipeline>
void Bridged(Pipeline&& pipeline) {
  try {
    pipeline();
  } catch (const Error& error) {
    throw PlatformError(error);
  }
}

}  // namespace

void Backup(std::optional<ContainerName> source, const mcom::FilePath& destination,
            const std::shared_ptr<Progress>& progress) {
  progress->setTotalUnitCount(100);
  std::optional<::APFSContainerName> container;
  if (source) container = ::APFSContainerName{CoreDiskName(*source, "PerformBackup")};
  Bridged([&] {
    backup::PerformBackup(container, destination, Replicator("PerformBackup"),
                          ProgressHandler(progress));
  });
}

void Restore(const mcom::FilePath& image, ContainerName target,
             const std::shared_ptr<Progress>& progress) {
  progress->setTotalUnitCount(100);
  const ::APFSContainerName disk{CoreDiskName(target, "PerformRestore")};
  Bridged([&] {
    PerformRestore(image, disk, Replicator("PerformRestore"), ProgressHandler(progress));
  });
}

void BuildRecovery(ContainerName target, const std::shared_ptr<Progress>& progress) {
  const mcom::DiskName disk = CoreDiskName(target, "BuildRecovery");
  if (const std::optional<Error> failure = ::BuildRecovery(disk, ProgressHandler(progress))) {
    throw PlatformError(*failure);
  }
}

std::optional<mcom::File> CollectLogs() { return CollectLogsFromHelper(); }

}  // namespace app::bridge
