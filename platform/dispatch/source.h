#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <system_error>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/time.h"

// Event sources (dispatch_source_t): timers, readable descriptors and process exits, each
// delivering its events by running an event handler on a queue.
//
//   dispatch::Source timer;
//   if (auto error = dispatch::CreateTimerSource(dispatch::MainQueue(), &timer)) ...;
//   timer.SetEventHandler([] { std::exit(0); });
//   timer.SetTimer(dispatch::After(std::chrono::seconds(5)), dispatch::kForever, 0);
//   timer.Resume();
//
// Rules, as on the platform:
// - A source is created suspended: it delivers nothing until Resume. Suspend and Resume are
//   counted; events that arrive while suspended are kept and delivered, merged, on Resume.
// - The handlers of one source never run concurrently with each other, whatever the queue:
//   events that arrive while the event handler runs are merged and delivered after it
//   returns. GetData() tells the handler what was merged.
// - Cancel stops the source for good. No delivery of the event handler begins once Cancel
//   has been called; one already under way finishes. The cancel handler then runs exactly once,
//   on the source's queue, after any running event handler has returned, and afterwards
//   both handlers are released (so a handler may capture its own Source). Unlike the
//   platform, the cancel handler runs even when the source is suspended at the time, so
//   that a waiter for it never hangs.
// - Releasing the last Source of a source that was not cancelled cancels it: it stops
//   delivering events, its cancel handler runs as above, and everything it holds is
//   released. (The platform frees such a source silently, or traps when it is suspended.) A
//   handler that captures its own Source keeps it alive until it is cancelled.
// - Every operation may be called from any thread, including from the source's handlers.
namespace dispatch {

namespace internal {
class SourceOwner;
}

// GetData() of a process-exit source (DISPATCH_PROC_EXIT).
inline constexpr uintptr_t kProcessExit = 0x80000000;

class Source {
 public:
  // Refers to no source; may only be assigned or tested.
  Source() = default;
  explicit Source(std::shared_ptr<internal::SourceOwner> owner) : owner_(std::move(owner)) {}

  explicit operator bool() const { return owner_ != nullptr; }

  // The handler run for each delivery of events. Replaces the previous one; setting it while
  // the source runs is allowed and applies from the next delivery.
  void SetEventHandler(Work handler) const;
  // The handler run once after Cancel (see above).
  void SetCancelHandler(Work handler) const;

  void Resume()
      const;  // One Resume per Suspend (and one for the creation); extra ones are ignored.
  void Suspend() const;  // Stops deliveries until the matching Resume.
  void Cancel() const;   // See above; later calls do nothing.
  bool IsCancelled() const;

  // Inside the event handler, what the current delivery carries (dispatch_source_get_data):
  // for a timer, the number of times it fired since the previous delivery; for a read
  // source, an estimate of the bytes ready to read (0 at end of file); for a process-exit
  // source, kProcessExit.
  uintptr_t GetData() const;

  // Timer sources only (dispatch_source_set_timer): first fire at `start` (kNow at once,
  // kForever never), then every `interval` nanoseconds, or only once when `interval` is
  // kForever. `leeway` is the lateness the caller allows; this layer always aims at the
  // exact time (timerfd on the monotonic clock), so a leeway of 0 is honoured up to the
  // scheduling delay of the machine. Re-arming replaces the previous setting, from any
  // thread, including from the timer's own handler; fires of the old setting that were not
  // yet delivered are dropped.
  void SetTimer(Time start, uint64_t interval, uint64_t leeway) const;

 private:
  std::shared_ptr<internal::SourceOwner> owner_;
};

// A timer source delivering on `queue` (DISPATCH_SOURCE_TYPE_TIMER); it does not fire until
// SetTimer has been called. Fails only when the system is out of descriptors or memory.
std::error_code CreateTimerSource(const Queue& queue, Source* source);

// A source that fires while `fd` is readable (DISPATCH_SOURCE_TYPE_READ), including at end
// of file, hang-up and error. Level-triggered: as long as data stays unread, the handler runs
// again after it returns, so each run should read what it can. The source watches its own
// duplicate of `fd`, closed on Cancel; the caller keeps `fd` and may close it after
// cancelling. Fails with the error of the duplication or of epoll (EPERM for a regular
// file, which is always readable).
std::error_code CreateReadSource(int fd, const Queue& queue, Source* source);

// A source that fires once when process `pid` exits (DISPATCH_SOURCE_TYPE_PROC with
// DISPATCH_PROC_EXIT). The process need not be a child; a child's exit status is left for the
// caller to collect. A process that is already gone when the source is made fires once
// after Resume. Fails with the error of pidfd_open (other than ESRCH).
std::error_code CreateProcessExitSource(pid_t pid, const Queue& queue, Source* source);

}  // namespace dispatch
