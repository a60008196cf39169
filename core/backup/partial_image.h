#pragma once

// A backup is written under a temporary name beside the image it will replace, and renamed
// over it only once it is complete, so that a failed backup never costs the user the last
// good one. The name says that the file is partial and which process writes it:
//
//   Backup.sparseimage  →  Backup.dorvane-partial-4242.sparseimage
//
// (it keeps the extension the disk-image tool insists on). A run that was killed leaves its
// partial image behind, attached; the next run finds such images by their names and by the
// tool's list of attached images, sees that their process is gone, detaches and removes
// them.

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

#include "core/foundation/file_path.h"

// The partial image of `image` written by process `pid`.
mcom::FilePath PartialImagePath(const mcom::FilePath& image, pid_t pid);

// The process that writes the partial image named `name` (a file name, not a path); empty
// for any other name.
std::optional<pid_t> PartialImageWriter(std::string_view name);

// Detaches and removes the partial images of processes that no longer run: those the
// disk-image tool lists as attached (wherever they are), and those in `folders`. Returns the
// paths removed. Failures are logged and skip the image; an image that stays attached keeps
// its file, for a later run to try again. Nothing is thrown.
std::vector<mcom::FilePath> RemoveAbandonedPartialImages(
    const std::vector<mcom::FilePath>& folders);
