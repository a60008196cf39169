#include "core/backup/restore.h"

#include <variant>

#include "core/backup/image_tools.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/container_size.h"
#include "core/foundation/error.h"
#include "core/foundation/log.h"

namespace {

// The target as an APFS container: itself when it is one, the container on it when it holds
// one, else a new container made on it (which erases what it held).
APFSContainerName TargetContainer(APFSContainerName target) {
  if (std::holds_alternative<uint64_t>(mcom::GetContainerSize(target))) return target;
  if (std::optional<APFSContainerName> found = mcom::FindAPFSContainerOnDisk(target.name)) {
    return *found;
  }
  return CreateAPFSContainer(target.name);
}

}  // namespace

void PerformRestore(const mcom::FilePath& image_path, APFSContainerName target,
                    const ReplicatorFunction& replicator, const ProgressCallback& progress) {
  mcom::log::Default("PerformRestore: %{public}s -> %{public}s", image_path,
                     FormatDiskName(target));
  const AttachedImage image = AttachImage(image_path, kAttachReadOnly);
  const std::optional<APFSContainerName> source = mcom::FindAPFSContainerOnDisk(image.disk);
  if (!source)
    throw Error("PerformRestore", "no APFS container in image at " + image_path.string());
  replicator(*source, TargetContainer(target), progress);
}
