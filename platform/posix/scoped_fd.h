#pragma once

#include <system_error>

#include "platform/posix/scoped_generic.h"

namespace mcom {

struct FDTraits {
  static int InvalidValue() { return -1; }
  static void Free(int fd);
};

// Owner of one file descriptor; -1 means none. Constructing one from a descriptor adopts it.
// Destroying the owner closes the descriptor and ignores the result; Close() reports it.
// Move-only.
class ScopedFD : public ScopedGeneric<int, FDTraits> {
 public:
  using ScopedGeneric::ScopedGeneric;

  // Closes the descriptor now and returns close()'s error in the generic category. The owner
  // is empty afterwards even when close() failed: Linux frees the number either way, so
  // keeping it could later close a descriptor someone else was given. EINTR is not an
  // error for that reason. Closing an empty owner succeeds.
  std::error_code Close();
};

// A new close-on-exec descriptor for the open file `fd` names; an empty owner and errno set
// when it cannot be made.
ScopedFD DuplicateFD(int fd);

}  // namespace mcom
