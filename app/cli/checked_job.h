#pragma once

#include <optional>
#include <string>
#include <variant>

#include "app/cli/command_line.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// A command whose arguments were checked against the machine, so that a mistyped disk or
// path is refused with one clear line before anything is created or erased.

struct BackupJob {
  std::optional<APFSContainerName> source;  // none: the running system's container
  mcom::FilePath image;
  std::string note;  // what dorvane changed in the request, to tell the user; empty: nothing
};

struct RestoreJob {
  mcom::FilePath image;
  APFSContainerName target;  // a container's disk, or a disk or partition to hold one
};

// The source must be the disk of an APFS container; the image path must not be a folder and
// its folder must exist. The disk-image tool names a sparse image "….sparseimage" whatever
// it is asked, so a path without that extension gets it (and the job a note saying so).
std::variant<BackupJob, UsageError> CheckBackup(const BackupCommand& command);
// The image must be an existing file; the target a disk the machine has that a restore may
// erase (restore_target.h).
std::variant<RestoreJob, UsageError> CheckRestore(const RestoreCommand& command);
