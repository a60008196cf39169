#pragma once

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"

namespace sim {

// The machine's lock: an flock on private/var/db/macsim/lock, held for as long as the object
// lives. Every change of the machine holds it exclusively for its whole read-modify-write;
// readers that need one consistent view of several state files hold it shared. Since the lock
// belongs to the open file, two StateLocks exclude each other within one process as well as
// across processes. Move-only; the descriptor is close-on-exec, so children do not inherit it.
class StateLock {
 public:
  enum class Mode { kShared, kExclusive };

  // Opens the lock file (making it when missing) and waits until the lock is granted.
  // Throws MachineError when the file cannot be opened or locked.
  StateLock(const mcom::FilePath& root, Mode mode);

 private:
  mcom::File file_;
};

}  // namespace sim
