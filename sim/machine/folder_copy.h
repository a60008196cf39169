#pragma once

#include <cstdint>
#include <functional>
#include <system_error>

#include "core/foundation/file_path.h"
#include "core/foundation/result.h"

// Copying a volume's files entry by entry, so that a long copy can tell how far it is.
//
// CopyVolumeFiles (volume_store.h) copies a volume in one call; the restore tool copies
// volumes that may hold many gigabytes and reports its progress as it goes, so it walks the
// tree itself and copies one file at a time with the foundation's copy (mcom::CopyTree),
// which keeps data (holes stay holes), modes, owners where permitted, times, extended
// attributes and symbolic links; hard links within the tree stay hard links. Folders are
// made by the walk and get their metadata (mode, owner, extended attributes, times) after
// their contents, by the platform's copy of metadata (platform::CopyMetadata).
//
// Both walks open and list folders with the platform copy's own steps, so they read the
// source as it does: without changing its access times (O_NOATIME where the process may ask
// for it), never following symbolic links, in name order. Linux only, like all of sim/.
namespace sim {

// The size of a tree: the bytes its regular files and links occupy (allocated blocks, as
// MeasureUsedBytes counts them, so a sparse file counts its data only) and the number of
// entries below the top folder (folders, files, links and special files).
struct FolderSize {
  uint64_t bytes = 0;
  uint64_t entries = 0;

  friend bool operator==(const FolderSize&, const FolderSize&) = default;
};

// Measures the tree inside `folder` (the folder itself is not counted). Errors: the errno of
// a folder that cannot be opened or read, in the generic category.
mcom::Result<FolderSize> MeasureFolder(const mcom::FilePath& folder);

// How far a copy of `total` is when `done` has been copied, from 0 to 1. Every entry weighs
// as much as a few kilobytes of data, so a tree of many small files moves as steadily as one
// of a few large ones; an empty tree is done at once (1). Never above 1, even when the tree
// grew while it was copied.
double CopiedFraction(const FolderSize& done, const FolderSize& total);

// Called after each entry is copied with what has been copied so far. Returning false stops
// the copy, which then fails with ECANCELED.
using FolderCopyProgress = std::function<bool(const FolderSize& done)>;

// Copies everything inside the folder `source` into the existing folder `destination`
// (normally empty: existing folders are merged into, existing files and links replaced),
// entry by entry in name order, calling `progress` (may be empty) after each entry. Finally
// `destination` itself gets the mode, owner, extended attributes and times of `source`, so
// that a mount point or volume store keeps being the same folder. Files with several names
// inside the tree (hard links) are copied once and linked under their other names.
//
// Returns the first failure (an errno in the generic category) and stops there; what was
// copied until then stays in `destination` for the caller to remove. `destination` inside
// `source` is refused with EINVAL before anything is copied.
std::error_code CopyFolderContents(const mcom::FilePath& source, const mcom::FilePath& destination,
                                   const FolderCopyProgress& progress);

}  // namespace sim
