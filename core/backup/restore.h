#pragma once

#include "core/backup/progress.h"
#include "core/discovery/disk_name.h"
#include "core/foundation/file_path.h"

// Restores the backup image at `image_path` onto `target`: attaches the image read-only,
// finds its APFS container, makes sure the target is (or holds, or becomes) an APFS
// container, and hands both to `replicator`, which erases the target and copies. Throws Error;
// the image is detached again on every path. A target the replication failed on is left as
// the failure left it.
void PerformRestore(const mcom::FilePath& image_path, APFSContainerName target,
                    const ReplicatorFunction& replicator, const ProgressCallback& progress);
