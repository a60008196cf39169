#pragma once

#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/launcher/launch_job.h"

namespace sim::launcher {

// The jobs of the machine at `root`: every Library/LaunchDaemons/*.plist, in the order of
// their file names. A file that cannot be used is skipped, and `*problems` gets one line
// about it, naming the file by its Mac path: "/Library/LaunchDaemons/x.plist: skipped: not a
// property list". Skipped are files that are not regular, are writable by group or others (as
// launchd refuses them), do not hold a property list, hold one ParseLaunchJob refuses, or
// name a label an earlier file took. A missing folder holds no jobs.
std::vector<LaunchJob> ReadLaunchDaemons(const mcom::FilePath& root,
                                         std::vector<std::string>* problems);

}  // namespace sim::launcher
