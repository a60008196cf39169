#pragma once

// Test support for suites that need a machine's launcher: jobs written as launchd property
// lists, the launcher run with `macsim start` and `macsim stop` (the build's macsim, with the
// simlaunchd beside it), and the jobs' processes read back from its status file.
//
//   sim::launcher::testing::JobDescription job;
//   job.label = "com.example.helper";
//   job.program = "/Library/PrivilegedHelperTools/com.example.helper";
//   job.mach_services = {"com.example.helper"};
//   sim::launcher::testing::WriteJob(root, job);
//   sim::launcher::testing::RunningLauncher launcher(root);
//   ... bootstrap_look_up("com.example.helper") starts the job ...

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"

namespace sim::launcher::testing {

struct JobDescription {
  std::string label;
  std::string program;                 // Mac path of the executable
  std::vector<std::string> arguments;  // the arguments after the program's name
  std::vector<std::string> mach_services;
  std::string standard_out_path;  // Mac paths; empty: none
  std::string standard_error_path;
  std::optional<int> throttle_interval;  // seconds; empty: launchd's default (10)
};

// Writes ROOT/Library/LaunchDaemons/<label>.plist, mode 0644, in the form a blessed helper's
// property list has: Label, ProgramArguments (the program, then `arguments`), MachServices
// (each name -> true) and the optional keys that are set. A running launcher reads it on
// Reload(). Throws std::runtime_error when it cannot be written.
void WriteJob(const mcom::FilePath& root, const JobDescription& job);

// Removes ROOT/Library/LaunchDaemons/<label>.plist.
void RemoveJob(const mcom::FilePath& root, const std::string& label);

// The launcher of the machine at `root`, for as long as the object lives. Move-less.
class RunningLauncher {
 public:
  // Runs `macsim start ROOT`. Throws std::runtime_error with macsim's message when it fails
  // ("a launcher already runs for ROOT (pid N)", "cannot start the launcher of ROOT: ...").
  explicit RunningLauncher(const mcom::FilePath& root);
  // Stop(), unless done already; failures are ignored.
  ~RunningLauncher();
  RunningLauncher(const RunningLauncher&) = delete;
  RunningLauncher& operator=(const RunningLauncher&) = delete;

  pid_t pid() const { return pid_; }

  // Sends the launcher SIGHUP and waits until it has read its jobs again. Throws
  // std::runtime_error when it has not after 30 s.
  void Reload();

  // Runs `macsim stop ROOT`: when it returns the launcher and every job it ran are gone.
  // Throws std::runtime_error with macsim's message when it fails.
  void Stop();

 private:
  mcom::FilePath root_;
  pid_t pid_ = 0;
  bool stopped_ = false;
};

// The loaded jobs of the launcher running for `root` by label, each with its process, or
// nothing when it does not run; empty when no launcher runs.
using JobPids = std::map<std::string, std::optional<pid_t>>;
JobPids ReadJobPids(const mcom::FilePath& root);

// Waits until `condition` holds for ReadJobPids(root) and returns them; throws
// std::runtime_error after `timeout` (a guard against hangs, not a measure).
JobPids WaitForJobPids(const mcom::FilePath& root,
                       const std::function<bool(const JobPids&)>& condition,
                       std::chrono::seconds timeout = std::chrono::seconds(30));

}  // namespace sim::launcher::testing
