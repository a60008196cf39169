#pragma once

#include <optional>

#include "core/backup/progress.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

namespace backup {

// Backs up an APFS container into a new sparse disk image at `image_path`:
//  - finds the container of the running system when no source is given, and refuses a
//    source without volumes;
//  - creates an image as large as the source container under a partial name beside
//    `image_path` (partial_image.h), attaches it read-write without mounting and creates an
//    empty APFS container in it;
//  - hands (source, new container, progress) to `replicator`, which does the copying;
//  - detaches the image (a failed detach fails the backup: only then is the image written),
//    attaches it again read-only to check that it holds every volume of the source, and
//    renames it over `image_path`, replacing whatever was there.
// Runs on the calling thread with the caller's rights and throws Error on failure; an
// interruption (interruption.h) fails it at the next step. Whatever fails, the partial image
// is detached and deleted before the Error leaves, and a file at `image_path` is untouched.
void PerformBackup(std::optional<APFSContainerName> source, const mcom::FilePath& image_path,
                   const ReplicatorFunction& replicator, const ProgressCallback& progress);

}  // namespace backup

// The APFS container that holds the running system: the container two registry levels above
// the volume mounted at "/". Reports its steps as texts. Throws Error("FindSystemContainer", ...).
APFSContainerName FindSystemContainer(const ProgressCallback& progress);
