#pragma once

#include <memory>

#include "platform/dispatch/time.h"

namespace dispatch {

namespace internal {
class SemaphoreImpl;
}

// A counting semaphore (dispatch_semaphore_t). Copies refer to the same semaphore.
//
//   dispatch::Semaphore finished(0);
//   dispatch::Async(dispatch::GlobalQueue(), [finished] { ...; finished.Signal(); });
//   if (!finished.Wait(dispatch::After(std::chrono::seconds(10)))) { /* timed out */ }
class Semaphore {
 public:
  // A new semaphore whose count starts at `value` (not negative).
  explicit Semaphore(long value);

  // Takes one from the count, waiting until `deadline` for a Signal when the count is zero.
  // Returns true when it took one (it was signalled in time), false when the deadline passed
  // first. kNow only tries; kForever waits without limit.
  bool Wait(Time deadline) const;

  // Wakes one waiting thread, or adds one to the count when nobody waits. Returns true when
  // it woke a waiter (the platform's non-zero result).
  bool Signal() const;

 private:
  std::shared_ptr<internal::SemaphoreImpl> impl_;
};

}  // namespace dispatch
