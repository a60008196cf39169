#include "core/backup/restore.h"

#include <algorithm>
#include <variant>

#include "core/backup/disk_claim.h"
#include "core/backup/image_tools.h"
#include "core/backup/restore_target.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/disk_topology.h"
#include "core/discovery/property_query.h"
#include "core/foundation/error.h"
#include "core/foundation/interruption.h"
#include "core/foundation/log.h"

namespace {

size_t VolumeCount(APFSContainerName container) {
  return mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(container)).size();
}

// What the target holds, as far as a failed step could have changed it: its content, the
// container on it and that container's volumes.
std::string Fingerprint(mcom::DiskName disk) {
  try {
    std::string text = mcom::MediaContent(disk).value_or("-");
    const std::optional<APFSContainerName> container =
        mcom::KindOfMedia(disk) == mcom::MediaKind::kContainer
            ? APFSContainerName{disk}
            : mcom::FindAPFSContainerOnDisk(disk);
    if (container) {
      text.append(" ").append(FormatDiskName(*container));
      for (const APFSVolumeInfo& volume :
           mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(*container))) {
        text.append(" ").append(volume.uuid);
      }
    }
    return text;
  } catch (const std::system_error&) {
    return "unreadable";  // never equal to what was read before
  }
}

}  // namespace

void PerformRestore(const mcom::FilePath& image_path, APFSContainerName target,
                    const ReplicatorFunction& replicator, const ProgressCallback& progress) {
  mcom::log::Default("PerformRestore: %{public}s -> %{public}s", image_path,
                     FormatDiskName(target));
  const RestoreTarget checked = CheckRestoreTarget(image_path, target.name);
  const DiskClaims claims(checked.physical_disks, "PerformRestore");

  AttachedImage image = AttachImage(image_path, kAttachReadOnly);
  const std::optional<APFSContainerName> source = mcom::FindAPFSContainerOnDisk(image.disk);
  if (!source)
    throw Error("PerformRestore", "no APFS container in image at " + image_path.string());
  const size_t volumes = VolumeCount(*source);
  if (volumes == 0) {
    throw Error("PerformRestore", "the image at " + image_path.string() + " holds no volumes");
  }
  mcom::ThrowIfInterrupted("PerformRestore");

  // From here on the target is being erased. A failure that changed it leaves it holding part
  // of the copy at best, and the user must hear that it no longer holds what it held; a
  // failure before the tools touched it (a refusal) leaves it as it was, and says so by
  // passing the failure on unchanged.
  const std::string before = Fingerprint(checked.disk);
  try {
    const APFSContainerName container =
        checked.is_container ? APFSContainerName{checked.disk} : CreateAPFSContainer(checked.disk);
    mcom::ThrowIfInterrupted("PerformRestore");
    replicator(*source, container, progress);
    mcom::ThrowIfInterrupted("PerformRestore");
    if (const size_t restored = VolumeCount(container); restored < volumes) {
      throw Error("PerformRestore", FormatDiskName(container) + " holds " +
                                        std::to_string(restored) + " of the " +
                                        std::to_string(volumes) + " volumes of the image");
    }
  } catch (const Error& error) {
    if (Fingerprint(checked.disk) == before) throw;
    throw Error("PerformRestore",
                FormatDiskName(checked.disk) + " was erased and holds an incomplete copy of " +
                    image_path.string(),
                error);
  }
  try {
    DetachImage(image);
  } catch (const Error& error) {
    throw Error("PerformRestore",
                FormatDiskName(checked.disk) + " holds a complete copy, but the image " +
                    image_path.string() + " could not be detached",
                error);
  }
}
