#pragma once

#include <sys/types.h>

#include <optional>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"

namespace sim::launcher {

// The pid file of a machine's launcher (launcher_paths.h). The running launcher holds an
// exclusive flock on it for as long as it runs, so the lock, not the file's existence, says
// whether a launcher runs: a file left behind by a launcher that was killed is not locked,
// and the next launcher takes it over.
class PidFile {
 public:
  // Takes the pid file of `root` for this process: locks it and writes the process id. Readers
  // hold the lock shared for a moment, so a held lock is tried again for a short while before
  // it counts as another launcher's. Throws MachineError ("a launcher already runs for ROOT
  // (pid N)") when another launcher holds it, or when the file cannot be made or locked. The
  // descriptor is close-on-exec: the launcher's jobs never hold the lock.
  static PidFile Acquire(const mcom::FilePath& root);

  PidFile(PidFile&&) = default;
  PidFile& operator=(PidFile&&) = default;

  // Removes the file, then gives the lock up.
  void Remove();

 private:
  PidFile(mcom::FilePath path, mcom::File file) : path_(std::move(path)), file_(std::move(file)) {}

  mcom::FilePath path_;
  mcom::File file_;
};

// The pid of the launcher running for `root`: the one holding its pid file's lock. Nothing
// when no launcher runs (no pid file, or a stale one nobody holds).
std::optional<pid_t> RunningLauncherPid(const mcom::FilePath& root);

}  // namespace sim::launcher
