#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"
#include "platform/disk_arbitration/da_disk.h"
#include "platform/disk_arbitration/da_dissenter.h"
#include "platform/disk_arbitration/da_session.h"
#include "platform/dispatch/queue.h"

// The objects behind the disk-arbitration references: internal to the Linux stand-in
// (platform/disk_arbitration/*_linux.cc) and its tests.
namespace platform {

namespace da_internal {
class SessionState;
class RegistryWatcher;
}  // namespace da_internal

struct DADissenter {
  std::atomic<long> references{1};
  DAReturn status = kDAReturnSuccess;
  mcom::cf::Ref<mcom::cf::String> string;
  pid_t process = 0;
};

struct DASession {
  std::atomic<long> references{1};
  std::shared_ptr<da_internal::SessionState> state;
};

struct DADisk {
  std::atomic<long> references{1};
  // The session's state, shared: a disk outlives the session's last reference.
  std::shared_ptr<da_internal::SessionState> session;
  std::optional<std::string> bsd_name;
  // A disk reported by a disappeared callback keeps the description it had.
  bool gone = false;
  mcom::cf::Ref<mcom::cf::Dictionary> gone_description;
};

namespace da_internal {

// A new disk of `session` named `bsd_name` (no check that it exists).
DADiskRef MakeDisk(std::shared_ptr<SessionState> session, std::optional<std::string> bsd_name);

// One registered callback: an appeared, disappeared or approval callback.
//
// Calls go through Begin and End, so that Finish (the unregistration) can stop new calls and
// wait for those under way on other threads.
class Registration {
 public:
  enum class Kind { kAppeared, kDisappeared, kApproval };

  Registration(Kind kind, void* callback, void* context, mcom::cf::Ref<mcom::cf::Dictionary> match,
               std::string blocker)
      : kind_(kind),
        callback_(callback),
        context_(context),
        match_(std::move(match)),
        blocker_(std::move(blocker)) {}

  Kind kind() const { return kind_; }
  void* callback() const { return callback_; }
  void* context() const { return context_; }
  const mcom::cf::Ref<mcom::cf::Dictionary>& match() const { return match_; }
  // The BSD name of a blocker registration; empty for any other.
  const std::string& blocker() const { return blocker_; }

  // Whether `description` passes the match dictionary.
  bool Matches(const mcom::cf::Ref<mcom::cf::Dictionary>& description) const;

  // Begins a call: false, and no call may be made, once the registration has finished.
  bool Begin();
  void End();
  // No call begins afterwards. Waits until the calls under way on other threads have ended;
  // a call under way on this thread (a callback that unregisters itself) is not waited for.
  void Finish();

  // Appeared callbacks only, touched only on the session's watcher queue: whether the disks
  // present at registration have been reported.
  bool primed = false;

 private:
  const Kind kind_;
  void* const callback_;
  void* const context_;
  const mcom::cf::Ref<mcom::cf::Dictionary> match_;
  const std::string blocker_;

  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<std::thread::id> running_;
  bool finished_ = false;
};

// The identity of one disk in the machine: its name and the registry id of its media, so a
// disk that goes and comes back under the same name counts as another disk. Ordered by disk
// number, a whole disk before its slices.
struct DiskIdentity {
  mcom::DiskName name;
  uint64_t registry_id = 0;

  friend bool operator<(const DiskIdentity& left, const DiskIdentity& right) {
    return std::make_tuple(left.name.disk, left.name.has_slice(), left.name.slice,
                           left.registry_id) < std::make_tuple(right.name.disk,
                                                               right.name.has_slice(),
                                                               right.name.slice, right.registry_id);
  }
};

// What a session holds: the machine it acts on, the queue it is scheduled on, its appeared
// and disappeared registrations, and the registry watcher that drives them. Approval
// registrations live in the process-wide list (approvals_linux.h), which names their session.
class SessionState : public std::enable_shared_from_this<SessionState> {
 public:
  explicit SessionState(mcom::FilePath root);
  ~SessionState();
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  // The machine root the session acts on.
  const mcom::FilePath& root() const { return root_; }

  // The queue answers go to: the session's queue, or nothing when unscheduled.
  dispatch::Queue queue() const;
  void SetQueue(dispatch::Queue queue);

  // Adds an appeared or disappeared registration and takes a first look at the machine, so
  // that disks that go away from now on are reported.
  void AddDiskCallback(std::shared_ptr<Registration> registration);
  // Finishes and drops the registrations of `callback` and `context`.
  void RemoveDiskCallback(void* callback, void* context);

  // The session's last reference went: finishes every registration and stops watching.
  void Close();

 private:
  // Starts or stops the watcher: it runs while the session is scheduled and has appeared or
  // disappeared registrations. Called without `mutex_` held.
  void UpdateWatcher();
  // Reads the machine and reports the disks that went and came since the last look. Runs on
  // `watcher_queue_` only.
  void Rescan();
  // Queues one call of `registration` with `disk` (taken over) on `queue`.
  static void Deliver(const dispatch::Queue& queue, std::shared_ptr<Registration> registration,
                      DADiskRef disk);

  const mcom::FilePath root_;
  // Serial; every look at the machine for the watcher runs here.
  const dispatch::Queue watcher_queue_;

  mutable std::mutex mutex_;
  dispatch::Queue queue_;
  std::vector<std::shared_ptr<Registration>> disk_callbacks_;
  std::unique_ptr<RegistryWatcher> watcher_;
  bool closed_ = false;

  // The disks seen by the last look, with their descriptions. Touched on `watcher_queue_`
  // only.
  std::map<DiskIdentity, mcom::cf::Ref<mcom::cf::Dictionary>> known_;
};

}  // namespace da_internal
}  // namespace platform
