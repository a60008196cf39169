#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/file_path.h"
#include "platform/disk_arbitration/da_internal_linux.h"

// The process's mount approval registrations: internal to the Linux disk-arbitration
// stand-in. Every mount requested through a session of this process asks them; blocker
// registrations are also recorded in the machine, where the mounts of every process see them.
namespace platform::da_internal {

// Adds an approval registration of `session`. For a blocker registration (a non-empty
// `registration->blocker()`), the machine at the session's root gets a blocker of this
// process for that name, unless this process already holds one there.
void AddApproval(const std::shared_ptr<SessionState>& session,
                 std::shared_ptr<Registration> registration);

// Finishes and removes the approval registrations of `session` with `callback` and
// `context` (all of them when `callback` is null), removing the machine's blocker when the
// last registration for its name goes.
void RemoveApprovals(const SessionState* session, void* callback, void* context);

// A disk a mount would change, with its description.
struct MountCandidate {
  std::string bsd_name;
  mcom::cf::Ref<mcom::cf::Dictionary> description;
};

// Asks every approval registration (in registration order) whose session acts on the
// machine at `root` and is scheduled, and whose match passes, about each candidate (as a disk
// of that session), on that session's queue, waiting for the answer. Returns the first
// dissenter (one reference for the caller), or null when all approve. Must not be called on
// the queue of a session that has approval registrations.
DADissenterRef AskApprovals(const mcom::FilePath& root,
                            const std::vector<MountCandidate>& candidates);

}  // namespace platform::da_internal
