#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "core/foundation/result.h"
#include "sim/launcher/launch_job.h"

namespace sim::launcher {

// A service of a job and the launcher's listening socket for it.
using ServiceSocket = std::pair<std::string, int>;

// Starts `job`'s program as a child of this process, as launchd starts a job: in a session of
// its own, with no signal blocked and every signal's action the default, SIGTERM on the
// launcher's death (PR_SET_PDEATHSIG: no job outlives a launcher that was killed), standard
// input from /dev/null, standard output and error appended to the job's files (made with
// mode 0644) or /dev/null, and an environment of only
//
//   DORVANE_SYSTEM_ROOT     the machine root (absolute; the process's system root)
//   PATH                    /usr/bin:/bin:/usr/sbin:/sbin
//   __OSINSTALL_ENVIRONMENT "1", only while the machine runs its recovery system (the
//                           fact recovery-environment)
//   ASAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS, LSAN_OPTIONS
//                           as the launcher has them, when it has them
//   MACSIM_LAUNCHD_SOCKETS  "name1=3,name2=4": `sockets` in order at descriptors 3, 4, ...
//                           (the hand-over bootstrap_check_in takes them from)
//
// and no other descriptor. The program is the job's, resolved under the machine root. A
// file that cannot be opened is logged and replaced with /dev/null. Returns the child's pid,
// or the errno (generic category) of the fork or of the exec, whose child is then reaped.
mcom::Result<pid_t> SpawnJob(const LaunchJob& job, const std::vector<ServiceSocket>& sockets);

}  // namespace sim::launcher
