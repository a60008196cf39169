#pragma once

#include <optional>

#include "core/backup/progress.h"
#include "core/discovery/disk_name.h"
#include "core/foundation/file_path.h"

namespace backup {

// Backs up an APFS container into a new sparse disk image at `image_path`:
//  - finds the container of the running system when no source is given;
//  - creates an image as large as the source container (an existing file at the path is
//    replaced), attaches it read-write without mounting and creates an empty APFS container
//    in it;
//  - hands (source, new container, progress) to `replicator`, which does the copying.
// Runs on the calling thread with the caller's rights and throws Error on failure. Whatever
// fails after the image was created, the image is detached and the file deleted before the
// Error leaves; on success the image is detached and kept.
void PerformBackup(std::optional<APFSContainerName> source, const mcom::FilePath& image_path,
                   const ReplicatorFunction& replicator, const ProgressCallback& progress);

}  // namespace backup

// The APFS container that holds the running system: the container two registry levels above
// the volume mounted at "/". Reports its steps as texts. Throws Error("FindSystemContainer", ...).
APFSContainerName FindSystemContainer(const ProgressCallback& progress);
