#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/file_path.h"

// The status file of a running launcher (launcher_paths.h): its loaded jobs and the process
// of each running one, rewritten atomically on every change and removed when the launcher
// stops. It is an XML property list:
//
//   PID       integer   the launcher's process id
//   Loads     integer   how often the launcher has read its jobs (1 after the start, one
//                       more for every reload on SIGHUP)
//   Jobs      array     one dictionary per loaded job, in load order:
//     Label   string
//     PID     integer   the job's process, a child of the launcher; missing when it does
//                       not run
namespace sim::launcher {

struct JobStatus {
  std::string label;
  std::optional<pid_t> pid;

  bool operator==(const JobStatus&) const = default;
};

struct LauncherStatus {
  pid_t pid = 0;
  uint64_t loads = 0;
  std::vector<JobStatus> jobs;
};

// Replaces the status file of `root` atomically (atomic_file.h); the errno of the failure.
std::error_code WriteLauncherStatus(const mcom::FilePath& root, const LauncherStatus& status);

// The status file of `root`; nothing when it is missing or not in the form above. It may be
// a stale one: only a running launcher's file (pid_file.h) is current.
std::optional<LauncherStatus> ReadLauncherStatus(const mcom::FilePath& root);

}  // namespace sim::launcher
