#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cli/command_line.h"
#include "app/model/disk_records.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// A command whose arguments were checked against the machine, so that a mistyped disk or
// path is refused with one clear line before anything is created or erased.

struct BackupJob {
  app::APFSContainerInfo source;
  mcom::FilePath image;
  std::string note;  // what dorvane changed in the request, to tell the user; empty: nothing
  // What the search for the running system's container reported, for the progress display.
  std::vector<std::string> search_texts;
};

struct RestoreJob {
  mcom::FilePath image;
  app::RestoreTargetInfo target;
  bool restart = false;
};

// The source must be one of `sources` (without one, the running system's container, found
// here, which must be among them too); the image path must not be a folder and its folder
// must exist. The disk-image tool names a sparse image "….sparseimage" whatever it is asked,
// so a path without that extension gets it (and the job a note saying so). Throws the
// search's Error when the running system's container cannot be found.
std::variant<BackupJob, UsageError> CheckBackup(const BackupCommand& command,
                                                const std::vector<app::APFSContainerInfo>& sources);
// The image must be an existing file; the target one of `targets` that a restore may erase
// (restore_target.h).
std::variant<RestoreJob, UsageError> CheckRestore(
    const RestoreCommand& command, const std::vector<app::RestoreTargetInfo>& targets);
