#ifndef __linux__
#error "This file implements dispatch sources on Linux only (timerfd, epoll, pidfd)."
#endif

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>
// glibc 2.36 declares the pidfd functions without C linkage for C++ (fixed in 2.37).
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/dispatch/event_loop_linux.h"
#include "platform/dispatch/queue_impl_linux.h"
#include "platform/dispatch/source.h"

namespace dispatch {
namespace internal {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

timespec ToTimespec(uint64_t nanoseconds) {
  timespec result{};
  result.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000u);
  result.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000u);
  return result;
}

}  // namespace

// One source. Every field is guarded by mutex_. A delivery (event or cancel) is "active" from
// the moment it is queued until its handler has returned; at most one is active at a time,
// which is what keeps a source's handlers from overlapping. The descriptor is watched
// one-shot and armed again only when no delivery is active and no event is waiting, which
// gives level-triggered behaviour without re-entering the handler.
class SourceImpl final : public EventTarget, public std::enable_shared_from_this<SourceImpl> {
 public:
  enum class Kind { kTimer, kRead, kProcess };

  SourceImpl(Kind kind, std::shared_ptr<QueueImpl> queue, int fd)
      : kind_(kind), queue_(std::move(queue)), fd_(fd) {}

  ~SourceImpl() override {
    std::lock_guard lock(mutex_);
    CloseDescriptor();
  }

  // Hands the descriptor (if any) to the event loop. Called once, before the source is
  // shared.
  std::error_code Register() {
    if (fd_ < 0) return {};
    const std::error_code error = EventLoop::Get().Add(fd_, weak_from_this(), &id_);
    registered_ = !error;
    return error;
  }

  // For a process-exit source whose process is gone already.
  void MarkExited() {
    std::lock_guard lock(mutex_);
    pending_ = kProcessExit;
    has_event_ = true;
    finished_ = true;
  }

  void SetEventHandler(Work handler) { SetHandler(&event_handler_, std::move(handler)); }
  void SetCancelHandler(Work handler) { SetHandler(&cancel_handler_, std::move(handler)); }

  void Resume() {
    Step step;
    {
      std::lock_guard lock(mutex_);
      if (suspend_count_ == 0) return;
      --suspend_count_;
      step = Advance();
    }
    Perform(step);
  }

  void Suspend() {
    std::lock_guard lock(mutex_);
    ++suspend_count_;
  }

  void Cancel() {
    Step step;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      has_event_ = false;
      pending_ = 0;
      CloseDescriptor();
      step = Advance();
    }
    Perform(step);
  }

  bool IsCancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

  uintptr_t GetData() {
    std::lock_guard lock(mutex_);
    return data_;
  }

  void SetTimer(Time start, uint64_t interval, uint64_t /*leeway*/) {
    std::lock_guard lock(mutex_);
    if (kind_ != Kind::kTimer || cancelled_) return;
    itimerspec setting{};  // all zero: disarmed
    if (start != kForever) {
      // An absolute time of zero would disarm the timer; one nanosecond has passed as well.
      setting.it_value = ToTimespec(start == kNow ? 1 : start);
      // A zero interval would mean "once" to timerfd; the platform repeats as fast as it can.
      if (interval != kForever) setting.it_interval = ToTimespec(interval == 0 ? 1 : interval);
    }
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr);
    // Setting the timer also clears the count of fires the descriptor holds; fires that were
    // taken from it but not yet delivered belong to the old setting and are dropped too.
    has_event_ = false;
    pending_ = 0;
  }

  void OnReady(uint32_t /*events*/) override {
    Step step;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_ || fd_ < 0) return;
      armed_ = false;
      switch (kind_) {
        case Kind::kTimer: {
          uint64_t fires = 0;
          // Nothing to read when SetTimer re-armed it after epoll reported the old fire.
          if (read(fd_, &fires, sizeof fires) == sizeof fires && fires > 0) {
            pending_ += fires;
            has_event_ = true;
          }
          break;
        }
        case Kind::kRead: {
          int available = 0;
          if (ioctl(fd_, FIONREAD, &available) != 0 || available < 0) available = 0;
          pending_ = static_cast<uintptr_t>(available);
          has_event_ = true;
          break;
        }
        case Kind::kProcess:
          pending_ = kProcessExit;
          has_event_ = true;
          finished_ = true;
          break;
      }
      step = Advance();
    }
    Perform(step);
  }

 private:
  enum class Step { kNone, kDeliverEvent, kDeliverCancel };

  void SetHandler(std::shared_ptr<const Work>* slot, Work handler) {
    std::shared_ptr<const Work> replaced =
        handler ? std::make_shared<const Work>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    // After cancellation the handlers are gone for good; the new one is dropped (outside
    // the lock, with `replaced`).
    if (!cancel_delivered_) slot->swap(replaced);
  }

  // Decides what comes next; mutex_ held. Arms the descriptor itself; a delivery is queued
  // by Perform once the lock is released.
  Step Advance() {
    if (delivery_active_) return Step::kNone;
    if (cancelled_) {
      if (cancel_delivered_) return Step::kNone;
      cancel_delivered_ = true;
      delivery_active_ = true;  // for good: nothing follows the cancel handler
      return Step::kDeliverCancel;
    }
    if (suspend_count_ > 0) return Step::kNone;
    if (has_event_) {
      delivery_active_ = true;
      return Step::kDeliverEvent;
    }
    if (!armed_ && !finished_ && registered_) {
      armed_ = !EventLoop::Get().Arm(fd_, id_);
    }
    return Step::kNone;
  }

  // Queues the delivery chosen by Advance; mutex_ not held (queues take locks of their own
  // and the main queue calls its driver).
  void Perform(Step step) {
    if (step == Step::kNone) return;
    std::shared_ptr<SourceImpl> self = shared_from_this();
    if (step == Step::kDeliverEvent) {
      queue_->Enqueue([self] { self->DeliverEvent(); });
    } else {
      queue_->Enqueue([self] { self->DeliverCancel(); });
    }
  }

  void DeliverEvent() {
    std::shared_ptr<const Work> handler;
    {
      std::lock_guard lock(mutex_);
      // Cancelled, suspended or re-armed since the delivery was queued: the handler does not
      // run now (Advance picks up what is left).
      if (!cancelled_ && has_event_ && suspend_count_ == 0) {
        data_ = pending_;
        pending_ = 0;
        has_event_ = false;
        handler = event_handler_;
      }
    }
    if (handler && *handler) (*handler)();
    handler.reset();
    Step step;
    {
      std::lock_guard lock(mutex_);
      delivery_active_ = false;
      step = Advance();
    }
    Perform(step);
  }

  void DeliverCancel() {
    std::shared_ptr<const Work> cancel_handler;
    std::shared_ptr<const Work> event_handler;
    {
      std::lock_guard lock(mutex_);
      cancel_handler = std::move(cancel_handler_);
      event_handler = std::move(event_handler_);
    }
    // The event handler goes first: it may hold the last reference to something the cancel
    // handler expects to be released.
    event_handler.reset();
    if (cancel_handler && *cancel_handler) (*cancel_handler)();
  }

  // mutex_ held.
  void CloseDescriptor() {
    if (fd_ < 0) return;
    if (registered_) EventLoop::Get().Remove(fd_, id_);
    close(fd_);
    fd_ = -1;
    registered_ = false;
    armed_ = false;
  }

  const Kind kind_;
  const std::shared_ptr<QueueImpl> queue_;
  std::mutex mutex_;
  int fd_;  // owned: the timerfd, the duplicate of the watched descriptor, or the pidfd
  uint64_t id_ = 0;
  bool registered_ = false;
  bool armed_ = false;
  bool finished_ = false;  // a process-exit source that has seen its exit
  int suspend_count_ = 1;
  bool cancelled_ = false;
  bool cancel_delivered_ = false;
  bool delivery_active_ = false;
  bool has_event_ = false;
  uintptr_t pending_ = 0;  // data of the events not yet delivered
  uintptr_t data_ = 0;     // data of the delivery in progress (or the last one)
  std::shared_ptr<const Work> event_handler_;
  std::shared_ptr<const Work> cancel_handler_;
};

// What a Source refers to. Its destruction, when the last Source goes, cancels the source;
// the source itself lives on until its pending deliveries and its cancel handler are done.
class SourceOwner {
 public:
  explicit SourceOwner(std::shared_ptr<SourceImpl> impl) : impl_(std::move(impl)) {}
  ~SourceOwner() { impl_->Cancel(); }
  SourceOwner(const SourceOwner&) = delete;
  SourceOwner& operator=(const SourceOwner&) = delete;

  SourceImpl& impl() const { return *impl_; }

 private:
  std::shared_ptr<SourceImpl> impl_;
};

namespace {

std::error_code MakeSource(SourceImpl::Kind kind, const Queue& queue, int fd, bool exited,
                           Source* source) {
  std::shared_ptr<QueueImpl> target = queue ? queue.impl() : GlobalQueue().impl();
  auto impl = std::make_shared<SourceImpl>(kind, std::move(target), fd);
  // On failure the source's destructor closes the descriptor.
  if (std::error_code error = impl->Register()) return error;
  if (exited) impl->MarkExited();
  *source = Source(std::make_shared<SourceOwner>(std::move(impl)));
  return {};
}

}  // namespace
}  // namespace internal

void Source::SetEventHandler(Work handler) const {
  owner_->impl().SetEventHandler(std::move(handler));
}
void Source::SetCancelHandler(Work handler) const {
  owner_->impl().SetCancelHandler(std::move(handler));
}
void Source::Resume() const { owner_->impl().Resume(); }
void Source::Suspend() const { owner_->impl().Suspend(); }
void Source::Cancel() const { owner_->impl().Cancel(); }
bool Source::IsCancelled() const { return owner_->impl().IsCancelled(); }
uintptr_t Source::GetData() const { return owner_->impl().GetData(); }
void Source::SetTimer(Time start, uint64_t interval, uint64_t leeway) const {
  owner_->impl().SetTimer(start, interval, leeway);
}

std::error_code CreateTimerSource(const Queue& queue, Source* source) {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) return internal::LastError();
  return internal::MakeSource(internal::SourceImpl::Kind::kTimer, queue, fd, false, source);
}

std::error_code CreateReadSource(int fd, const Queue& queue, Source* source) {
  const int duplicate = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) return internal::LastError();
  return internal::MakeSource(internal::SourceImpl::Kind::kRead, queue, duplicate, false, source);
}

std::error_code CreateProcessExitSource(pid_t pid, const Queue& queue, Source* source) {
  if (pid <= 0) return std::make_error_code(std::errc::invalid_argument);
  const int fd = pidfd_open(pid, 0);
  if (fd < 0 && errno != ESRCH) return internal::LastError();
  return internal::MakeSource(internal::SourceImpl::Kind::kProcess, queue, fd, fd < 0, source);
}

}  // namespace dispatch
