#pragma once

#include <memory>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/time.h"

namespace dispatch {

namespace internal {
class GroupImpl;
}

// A count of unfinished work that can be waited for (dispatch_group_t). Copies refer to the
// same group.
//
//   dispatch::Group group;
//   dispatch::GroupAsync(group, dispatch::GlobalQueue(), [] { ... });
//   group.Wait(dispatch::kForever);
class Group {
 public:
  // A new, empty group.
  Group();

  // Counts one more piece of unfinished work (dispatch_group_enter).
  void Enter() const;

  // Counts one piece of work as finished (dispatch_group_leave). When the count drops to
  // zero, waiters return and the queued notifications are submitted. More Leave than Enter
  // calls is a misuse that ends the process with a message, as it does on the platform.
  void Leave() const;

  // Waits until the count is zero or `deadline` has passed; returns true when the group
  // finished in time. kNow only looks; kForever waits without limit. A group that never had
  // work has finished.
  bool Wait(Time deadline) const;

  // Submits `work` to `queue` once the count is zero; at once when it is zero now. Each
  // notification runs once.
  void Notify(const Queue& queue, Work work) const;

 private:
  std::shared_ptr<internal::GroupImpl> impl_;
};

// Runs `work` asynchronously on `queue` as part of `group` (dispatch_group_async): the group
// counts it from now until it has returned.
void GroupAsync(const Group& group, const Queue& queue, Work work);

}  // namespace dispatch
