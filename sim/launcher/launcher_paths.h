#pragma once

#include <string>

#include "core/foundation/file_path.h"

// Where the launcher of a machine finds its jobs and keeps its state:
//
//   Library/LaunchDaemons/*.plist             the jobs (launch_job.h)
//   private/var/run/launchd.pid               the running launcher's pid, locked while it
//                                             runs (pid_file.h)
//   private/var/run/launchd.jobs.plist        the loaded jobs and their processes
//                                             (job_status.h)
//   private/var/run/bootstrap/<name>          the listening socket of each service
namespace sim::launcher {

mcom::FilePath LaunchDaemonsFolder(const mcom::FilePath& root);
mcom::FilePath PidFilePath(const mcom::FilePath& root);
mcom::FilePath JobStatusPath(const mcom::FilePath& root);
mcom::FilePath ServiceSocketPath(const mcom::FilePath& root, const std::string& name);

}  // namespace sim::launcher
