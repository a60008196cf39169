#include "platform/posix/scoped_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/posix_error.h"

namespace mcom {

void FDTraits::Free(int fd) { ::close(fd); }

std::error_code ScopedFD::Close() {
  if (!is_valid()) return {};
  if (::close(release()) != 0 && errno != EINTR) return LastError();
  return {};
}

ScopedFD DuplicateFD(int fd) { return ScopedFD(::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

}  // namespace mcom
