#if !defined(__linux__)
#error "approvals_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include "platform/disk_arbitration/approvals_linux.h"

#include <unistd.h>

#include <exception>
#include <map>
#include <mutex>
#include <string>

#include "platform/disk_arbitration/disk_arbitration.h"
#include "platform/disk_arbitration/machine_disks_linux.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine.h"

namespace platform::da_internal {
namespace {

struct Approval {
  std::weak_ptr<SessionState> session;
  const SessionState* owner;
  std::shared_ptr<Registration> registration;
};

// Blockers are counted per machine and name, so that two registrations for one name keep
// one entry in the machine until both have ended.
using BlockerKey = std::pair<std::string, std::string>;  // (root, BSD name)

struct Approvals {
  std::mutex mutex;
  std::vector<Approval> list;
  std::map<BlockerKey, int> blockers;
};

// Never destroyed: sessions may be released by static destructors of other files.
Approvals& TheApprovals() {
  static Approvals* const approvals = new Approvals;
  return *approvals;
}

// Changes the machine's blockers of this process. A machine that cannot be changed (gone,
// damaged) has nothing to block; the in-process registration still refuses this process's
// own mounts.
void ChangeMachineBlocker(const mcom::FilePath& root, const std::string& name, bool add) {
  try {
    sim::Machine machine(root);
    machine.Change([&](sim::Model& model) {
      if (add) {
        sim::AddBlocker(model, ::getpid(), name);
      } else {
        sim::RemoveBlocker(model, ::getpid(), name);
      }
    });
  } catch (const std::exception&) {
  }
}

}  // namespace

void AddApproval(const std::shared_ptr<SessionState>& session,
                 std::shared_ptr<Registration> registration) {
  Approvals& approvals = TheApprovals();
  std::lock_guard lock(approvals.mutex);
  if (const std::optional<mcom::DiskName> name = ParseDiskName(registration->blocker())) {
    const std::string canonical = mcom::FormatDiskName(*name);
    // The machine change is made under the lock, so that an add and a remove of one name in
    // two threads reach the machine in the order they were counted.
    if (approvals.blockers[{session->root().string(), canonical}]++ == 0) {
      ChangeMachineBlocker(session->root(), canonical, /*add=*/true);
    }
  }
  approvals.list.push_back(Approval{session, session.get(), std::move(registration)});
}

void RemoveApprovals(const SessionState* session, void* callback, void* context) {
  Approvals& approvals = TheApprovals();
  std::vector<std::shared_ptr<Registration>> removed;
  {
    std::lock_guard lock(approvals.mutex);
    for (auto it = approvals.list.begin(); it != approvals.list.end();) {
      const Registration& registration = *it->registration;
      const bool chosen =
          it->owner == session && (callback == nullptr || (registration.callback() == callback &&
                                                           registration.context() == context));
      if (!chosen) {
        ++it;
        continue;
      }
      if (const std::optional<mcom::DiskName> name = ParseDiskName(registration.blocker())) {
        const BlockerKey key{session->root().string(), mcom::FormatDiskName(*name)};
        if (--approvals.blockers[key] == 0) {
          approvals.blockers.erase(key);
          ChangeMachineBlocker(session->root(), key.second, /*add=*/false);
        }
      }
      removed.push_back(std::move(it->registration));
      it = approvals.list.erase(it);
    }
  }
  // Waiting for calls under way happens without the lock: such a call may itself be asking
  // for the list.
  for (const std::shared_ptr<Registration>& registration : removed) registration->Finish();
}

DADissenterRef AskApprovals(const mcom::FilePath& root,
                            const std::vector<MountCandidate>& candidates) {
  std::vector<Approval> list;
  {
    Approvals& approvals = TheApprovals();
    std::lock_guard lock(approvals.mutex);
    list = approvals.list;
  }
  for (const Approval& approval : list) {
    const std::shared_ptr<SessionState> session = approval.session.lock();
    if (!session || session->root() != root) continue;
    const dispatch::Queue queue = session->queue();
    if (!queue) continue;
    Registration& registration = *approval.registration;
    const auto callback = reinterpret_cast<DADiskMountApprovalCallback>(registration.callback());
    for (const MountCandidate& candidate : candidates) {
      if (!registration.Matches(candidate.description)) continue;
      DADissenterRef dissenter = nullptr;
      DADiskRef disk = MakeDisk(session, candidate.bsd_name);
      dispatch::Sync(queue, [&] {
        if (!registration.Begin()) return;
        dissenter = callback(disk, registration.context());
        registration.End();
      });
      CFRelease(disk);
      if (dissenter != nullptr) return dissenter;
    }
  }
  return nullptr;
}

}  // namespace platform::da_internal
