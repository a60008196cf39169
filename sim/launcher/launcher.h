#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "platform/posix/scoped_fd.h"
#include "sim/launcher/launch_job.h"
#include "sim/launcher/pid_file.h"

namespace sim::launcher {

// launchd's stand-in on the simulated Mac: it loads the jobs of Library/LaunchDaemons, holds
// a listening socket for every service they name and starts a job when a client connects to
// one of its services while it does not run, handing it the sockets (job_spawn.h). While the
// job runs its sockets are its own; when it exits they are watched again. Starts honour the
// job's ThrottleInterval as launchd does. SIGHUP reads the jobs again; SIGTERM or SIGINT
// stops every job and the launcher. Every job exit, every skipped job and every pushed-out
// respawn is a line in the system log (launcher_log.h).
//
// Single-threaded: one poll loop over a signalfd, the sockets of the jobs that do not run and
// the time of the next pushed-out start. The process's system root (system_path.h) must be
// the machine root, and SIGCHLD, SIGHUP, SIGINT and SIGTERM blocked, before it is made.
class Launcher {
 public:
  // Throws MachineError when the signals cannot be watched.
  explicit Launcher(mcom::FilePath root);
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // Takes the pid file, loads the jobs and makes their sockets, and writes the status file:
  // afterwards every service accepts connections. Throws MachineError with the reason when
  // the launcher cannot run: another one runs for the machine, or a service's socket is
  // served by some other process or cannot be made. Problems of single jobs only skip them.
  void Start();

  // Serves until SIGTERM or SIGINT, then sends every running job SIGTERM, waits up to 5 s,
  // kills what is left with SIGKILL, reaps every job and removes its sockets, status and
  // pid files. Returns the exit status (0).
  int Run();

 private:
  using Clock = std::chrono::steady_clock;

  struct Job {
    LaunchJob description;
    std::vector<std::pair<std::string, mcom::ScopedFD>> sockets;  // in MachServices order
    pid_t pid = 0;
    std::optional<Clock::time_point> started;   // the last start
    std::optional<Clock::time_point> start_at;  // a start pushed out by the throttle
  };

  // Reads the jobs and brings the loaded ones in line: jobs that are gone or changed are
  // unloaded, new and changed ones loaded. `fatal`: a socket that cannot be made throws.
  void LoadJobs(bool fatal);
  void Load(const LaunchJob& description, bool fatal);
  void Unload(Job& job);
  // A client waits on one of the job's sockets.
  void RequestStart(Job& job);
  void Spawn(Job& job);
  // Reaps every child that has ended; with `block`, waits for each that still runs.
  void Reap(bool block);
  void Exited(pid_t pid, int wait_status);
  bool HasChildren() const;
  // The signals waiting on the signalfd, handled; false when none was read.
  bool HandleSignals();
  void Shutdown();
  void WriteStatus();

  mcom::FilePath root_;
  mcom::ScopedFD signals_;
  std::optional<PidFile> pid_file_;
  std::vector<std::unique_ptr<Job>> jobs_;
  // Processes of jobs that were unloaded while they ran, by pid: their labels.
  std::map<pid_t, std::string> departed_;
  uint64_t loads_ = 0;
  bool stopping_ = false;
};

}  // namespace sim::launcher
