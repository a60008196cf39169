#pragma once

#include "core/backup/progress.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// Restores the backup image at `image_path` onto `target`:
//  - checks the target before anything changes (restore_target.h: never the running
//    system, the image's own disk, an EFI system partition or a volume) and claims its disks
//    (disk_claim.h), refusing a target another operation is writing to;
//  - attaches the image read-only, finds its APFS container and refuses an image without
//    volumes;
//  - uses the target's container, or creates one on it, and hands both containers to
//    `replicator`, which erases the target and copies;
//  - checks that the target holds as many volumes as the image.
// Throws Error. A failure once the target is being erased is reported as
// Error("PerformRestore", "<disk> was erased and holds an incomplete copy of <image>") with
// the failure as its cause. The image is detached again on every path; an interruption
// (interruption.h) fails the restore at the next step.
void PerformRestore(const mcom::FilePath& image_path, APFSContainerName target,
                    const ReplicatorFunction& replicator, const ProgressCallback& progress);
