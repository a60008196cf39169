#include "sim/machine/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstring>

#include "platform/posix/posix_error.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"

namespace sim {

StateLock::StateLock(const mcom::FilePath& root, Mode mode) {
  const mcom::FilePath path = LockFilePath(root);
  // Read-only is enough for flock, and works for a process that may not write the file.
  int fd = mcom::RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0 && errno == ENOENT) {
    fd = mcom::RetryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666); });
  }
  if (fd < 0) {
    throw MachineError("cannot open the machine's lock " + path.string() + ": " +
                       std::strerror(errno));
  }
  file_ = mcom::File(fd);
  const int operation = mode == Mode::kExclusive ? LOCK_EX : LOCK_SH;
  if (mcom::RetryOnInterrupt([&] { return ::flock(file_.get(), operation); }) != 0) {
    throw MachineError("cannot lock the machine " + path.string() + ": " + std::strerror(errno));
  }
}

}  // namespace sim
