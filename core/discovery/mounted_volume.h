#pragma once

#include <cstdint>
#include <optional>

#include "core/discovery/disk_arbitration.h"
#include "core/foundation/directory_handle.h"
#include "core/foundation/file_path.h"
#include "core/foundation/result.h"

namespace mcom::disk_arbitration {

// A volume mounted where the caller can read it, that cleans up after itself: an open
// directory on the volume's mount point, and whether destroying it unmounts the volume and
// removes the mount-point directory (a private temporary directory it was mounted on).
//
// Destruction with "unmount" set takes the mount point's path from the descriptor, closes
// the descriptor (so the volume is not busy), asks the service to unmount the volume mounted
// there (on a session of its own, waiting for the answer, whose outcome is ignored), and
// with "remove directory" set removes the then empty mount-point directory (logged, not
// reported; a directory that still holds files, because the unmount failed, stays).
// Without "unmount" the descriptor is simply closed and the volume stays mounted.
//
// Move-only; a moved-from MountedVolume does nothing on destruction. Destroy it on a thread
// that may block, never on a queue a disk-arbitration session of the caller is scheduled on.
class MountedVolume {
 public:
  MountedVolume(DirectoryHandle directory, bool unmount, bool remove_directory);
  ~MountedVolume();
  MountedVolume(MountedVolume&& other) noexcept;
  MountedVolume& operator=(MountedVolume&& other) noexcept;
  MountedVolume(const MountedVolume&) = delete;
  MountedVolume& operator=(const MountedVolume&) = delete;

  // The open mount point (its own remove flag is clear).
  const DirectoryHandle& directory() const { return directory_; }
  DirectoryHandle& directory() { return directory_; }
  // The mount point's current path.
  Result<FilePath> Path() const { return directory_.Path(); }

  bool unmounts() const { return unmount_; }
  bool removes_directory() const { return remove_directory_; }

 private:
  void Release();

  DirectoryHandle directory_;
  bool unmount_ = false;
  bool remove_directory_ = false;
};

// Makes the volume `disk` readable and returns its mounted volume, or nothing when it cannot
// be mounted. `flags` are those of MountWithOptions (kMountWritable, kMountNotBrowsable).
//  1. A volume that is already mounted is opened where it is; nothing is undone later.
//  2. Otherwise it is mounted on a new private temporary directory ("/tmp/.XXXXXX" under the
//     machine root); destroying the result unmounts it and removes that directory.
//  3. When the service refuses that directory with kDAReturnNotPermitted or
//     kDAReturnNotPrivileged, the directory is removed and the volume is mounted at the
//     service's default place; destroying the result unmounts it.
// Any other refusal gives nothing, and the temporary directory is removed again. Blocks
// until the service has answered: call it on a thread that may wait, with a disk whose
// session is scheduled on another queue.
std::optional<MountedVolume> MountVolume(const Disk& disk, uint32_t flags);

}  // namespace mcom::disk_arbitration
