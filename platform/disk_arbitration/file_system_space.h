#pragma once

#include <cstdint>

// The size and free space of a mounted file system, as statfs(2) answers them (f_blocks and
// f_bavail times f_bsize): what the file manager's file-system attributes report as the
// system size and the system free size.
namespace platform {

struct FileSystemSpace {
  uint64_t size = 0;  // bytes
  uint64_t free = 0;  // bytes available
};

// Fills `space` for the file system that holds `path`. Returns 0, or an errno value:
// EINVAL for a null argument, stat(2)'s error when `path` cannot be reached, ENOENT when it
// lies on no volume. On failure `space` is left as it was.
//
// On Linux the volumes are the simulated Mac's (their mount points under the machine root,
// the running system's at the root itself): an HFS+ volume has its partition's size, an APFS
// volume its container's, and the free space is that size less what the volume (for APFS:
// every volume of the container) uses.
int GetFileSystemSpace(const char* path, FileSystemSpace* space);

}  // namespace platform
