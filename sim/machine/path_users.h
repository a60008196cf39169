#pragma once

#include <sys/types.h>

#include <vector>

#include "core/foundation/file_path.h"

// Which processes use a folder: what makes a real unmount fail with "Resource busy". The
// machine's mounts are folders renamed into place, which the host never refuses to move, so
// tools that must not pull a volume from under a process ask this first.
namespace sim {

// The other processes (not the calling one) whose working directory, root directory or an
// open descriptor lies at `path` or below it, in ascending order. Processes whose details
// the caller may not read are not seen. `path` is compared as text with the paths the
// kernel reports, so it should be absolute and free of links (a mount point is).
std::vector<pid_t> ProcessesUsingPath(const mcom::FilePath& path);

}  // namespace sim
