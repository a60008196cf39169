#if !defined(__linux__)
#error "da_session_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include <algorithm>

#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/approvals_linux.h"
#include "platform/disk_arbitration/da_internal_linux.h"
#include "platform/disk_arbitration/disk_arbitration.h"
#include "platform/disk_arbitration/machine_disks_linux.h"
#include "platform/disk_arbitration/registry_watcher_linux.h"

namespace platform {

namespace da_internal {

// ---- Registration ----

bool Registration::Matches(const mcom::cf::Ref<mcom::cf::Dictionary>& description) const {
  if (!match_) return true;
  if (!description) return false;
  for (const auto& [key, value] : *match_) {
    if (!mcom::cf::Equal(description->GetValue(key), value)) return false;
  }
  return true;
}

bool Registration::Begin() {
  std::lock_guard lock(mutex_);
  if (finished_) return false;
  running_.push_back(std::this_thread::get_id());
  return true;
}

void Registration::End() {
  std::lock_guard lock(mutex_);
  const auto found = std::find(running_.begin(), running_.end(), std::this_thread::get_id());
  if (found != running_.end()) running_.erase(found);
  idle_.notify_all();
}

void Registration::Finish() {
  std::unique_lock lock(mutex_);
  finished_ = true;
  const std::thread::id self = std::this_thread::get_id();
  idle_.wait(lock, [&] {
    return std::all_of(running_.begin(), running_.end(),
                       [&](std::thread::id running) { return running == self; });
  });
}

// ---- SessionState ----

SessionState::SessionState(mcom::FilePath root)
    : root_(std::move(root)), watcher_queue_(dispatch::CreateQueue("DiskArbitration.watcher")) {}

SessionState::~SessionState() = default;

dispatch::Queue SessionState::queue() const {
  std::lock_guard lock(mutex_);
  return queue_;
}

void SessionState::SetQueue(dispatch::Queue queue) {
  bool look = false;
  {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    look = queue_ && !disk_callbacks_.empty();
  }
  UpdateWatcher();
  // Appeared callbacks registered while the session was unscheduled learn of the present
  // disks now.
  if (look) {
    const std::weak_ptr<SessionState> weak = weak_from_this();
    dispatch::Async(watcher_queue_, [weak] {
      if (const std::shared_ptr<SessionState> self = weak.lock()) self->Rescan();
    });
  }
}

void SessionState::AddDiskCallback(std::shared_ptr<Registration> registration) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    disk_callbacks_.push_back(std::move(registration));
  }
  UpdateWatcher();
  // The first look: it reports the present disks to the new appeared callback and is the
  // point from which disks count as gone. Made on the watcher's queue, like every look.
  dispatch::Sync(watcher_queue_, [this] { Rescan(); });
}

void SessionState::RemoveDiskCallback(void* callback, void* context) {
  std::vector<std::shared_ptr<Registration>> removed;
  {
    std::lock_guard lock(mutex_);
    const auto chosen = [&](const std::shared_ptr<Registration>& registration) {
      return registration->callback() == callback && registration->context() == context;
    };
    for (const std::shared_ptr<Registration>& registration : disk_callbacks_) {
      if (chosen(registration)) removed.push_back(registration);
    }
    std::erase_if(disk_callbacks_, chosen);
  }
  for (const std::shared_ptr<Registration>& registration : removed) registration->Finish();
  UpdateWatcher();
}

void SessionState::Close() {
  std::vector<std::shared_ptr<Registration>> removed;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    removed.swap(disk_callbacks_);
  }
  for (const std::shared_ptr<Registration>& registration : removed) registration->Finish();
  UpdateWatcher();
  RemoveApprovals(this, nullptr, nullptr);
}

void SessionState::UpdateWatcher() {
  std::unique_ptr<RegistryWatcher> stopped;
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    const bool wanted = !closed_ && queue_ && !disk_callbacks_.empty();
    if (!wanted) {
      stopped = std::move(watcher_);
    } else {
      start = watcher_ == nullptr;
    }
  }
  stopped.reset();
  if (!start) return;

  const std::weak_ptr<SessionState> weak = weak_from_this();
  std::unique_ptr<RegistryWatcher> watcher = RegistryWatcher::Start(root_, watcher_queue_, [weak] {
    if (const std::shared_ptr<SessionState> self = weak.lock()) self->Rescan();
  });
  std::lock_guard lock(mutex_);
  const bool wanted = !closed_ && queue_ && !disk_callbacks_.empty();
  // A watcher started by another thread meanwhile wins; this one is dropped.
  if (wanted && watcher_ == nullptr) watcher_ = std::move(watcher);
  if (watcher) stopped = std::move(watcher);
}

void SessionState::Rescan() {
  std::map<DiskIdentity, mcom::cf::Ref<mcom::cf::Dictionary>> current;
  if (const std::optional<sim::Model> model = ReadMachine(root_)) {
    for (const DiskIdentity& identity : ListDisks(*model)) {
      current.emplace(identity, DescribeDisk(*model, root_, identity.name));
    }
  }

  std::vector<std::shared_ptr<Registration>> registrations;
  dispatch::Queue queue;
  {
    std::lock_guard lock(mutex_);
    registrations = disk_callbacks_;
    queue = queue_;
  }
  std::map<DiskIdentity, mcom::cf::Ref<mcom::cf::Dictionary>> previous;
  previous.swap(known_);
  known_ = current;
  // Unscheduled: nothing is delivered, and the appeared callbacks will be told about the
  // disks present once the session is scheduled.
  if (!queue) return;

  const std::shared_ptr<SessionState> self = shared_from_this();
  // Gone disks first, so that a name that went and came back reads in that order.
  for (const auto& [identity, description] : previous) {
    if (current.contains(identity)) continue;
    for (const std::shared_ptr<Registration>& registration : registrations) {
      if (registration->kind() != Registration::Kind::kDisappeared ||
          !registration->Matches(description)) {
        continue;
      }
      DADiskRef disk = MakeDisk(self, mcom::FormatDiskName(identity.name));
      disk->gone = true;
      disk->gone_description = description;
      Deliver(queue, registration, disk);
    }
  }
  for (const std::shared_ptr<Registration>& registration : registrations) {
    if (registration->kind() != Registration::Kind::kAppeared) continue;
    const bool everything = !registration->primed;
    registration->primed = true;
    for (const auto& [identity, description] : current) {
      if (!everything && previous.contains(identity)) continue;
      if (!registration->Matches(description)) continue;
      Deliver(queue, registration, MakeDisk(self, mcom::FormatDiskName(identity.name)));
    }
  }
}

void SessionState::Deliver(const dispatch::Queue& queue, std::shared_ptr<Registration> registration,
                           DADiskRef disk) {
  dispatch::Async(queue, [registration = std::move(registration), disk] {
    if (registration->Begin()) {
      // Appeared and disappeared callbacks have the same shape.
      const auto callback = reinterpret_cast<DADiskAppearedCallback>(registration->callback());
      callback(disk, registration->context());
      registration->End();
    }
    CFRelease(disk);
  });
}

}  // namespace da_internal

// ---- DASession ----

DASessionRef DASessionCreate() {
  auto* session = new DASession;
  session->state = std::make_shared<da_internal::SessionState>(mcom::SystemRoot());
  return session;
}

void DASessionSetDispatchQueue(DASessionRef session, const dispatch::Queue& queue) {
  if (session != nullptr) session->state->SetQueue(queue);
}

DASessionRef CFRetain(DASessionRef session) {
  if (session != nullptr) session->references.fetch_add(1, std::memory_order_relaxed);
  return session;
}

void CFRelease(DASessionRef session) {
  if (session != nullptr && session->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    session->state->Close();
    delete session;
  }
}

}  // namespace platform
