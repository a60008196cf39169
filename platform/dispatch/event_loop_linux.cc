#ifndef __linux__
#error "This file implements the dispatch event loop on Linux only (epoll)."
#endif

#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/dispatch/event_loop_linux.h"
#include "platform/posix/posix_error.h"

namespace dispatch::internal {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

}  // namespace

EventLoop& EventLoop::Get() {
  static EventLoop* const loop = new EventLoop;
  return *loop;
}

std::error_code EventLoop::Start() {
  std::call_once(started_, [this] {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) {
      start_error_ = LastError();
      return;
    }
    try {
      std::thread([this] { Run(); }).detach();
    } catch (const std::system_error& error) {
      start_error_ = error.code();
    }
  });
  return start_error_;
}

std::error_code EventLoop::Add(int fd, std::weak_ptr<EventTarget> target, uint64_t* id) {
  if (std::error_code error = Start()) return error;
  {
    std::lock_guard lock(mutex_);
    *id = next_id_++;
    targets_.emplace(*id, std::move(target));
  }
  // Registered one-shot without EPOLLIN: nothing is reported until Arm, except hang-up and
  // error, which epoll always reports and which count as readable.
  epoll_event event{};
  event.events = EPOLLONESHOT;
  event.data.u64 = *id;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
    const std::error_code error = LastError();
    std::lock_guard lock(mutex_);
    targets_.erase(*id);
    return error;
  }
  return {};
}

std::error_code EventLoop::Arm(int fd, uint64_t id) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = id;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event) != 0) return LastError();
  return {};
}

void EventLoop::Remove(int fd, uint64_t id) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  std::lock_guard lock(mutex_);
  targets_.erase(id);
}

void EventLoop::Run() {
  pthread_setname_np(pthread_self(), "dispatch-events");
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  std::vector<std::pair<std::shared_ptr<EventTarget>, uint32_t>> ready;
  for (;;) {
    // Nothing but EINTR can happen to a valid epoll descriptor.
    const int count =
        mcom::RetryOnInterrupt([&] { return epoll_wait(epoll_fd_, events, kBatch, -1); });
    {
      std::lock_guard lock(mutex_);
      for (int i = 0; i < count; ++i) {
        // epoll_event is packed: its fields are copied, never bound to a reference (find()
        // takes one) at their unaligned addresses.
        const uint64_t id = events[i].data.u64;
        const uint32_t bits = events[i].events;
        const auto target = targets_.find(id);
        if (target == targets_.end()) continue;
        if (auto strong = target->second.lock()) ready.emplace_back(std::move(strong), bits);
      }
    }
    // Told outside the lock: a target takes its own lock and may arm or remove itself.
    for (auto& [target, bits] : ready) target->OnReady(bits);
    // The last reference to a target may go here, which removes its registration (taking
    // the lock), so the list is emptied outside the lock too.
    ready.clear();
  }
}

}  // namespace dispatch::internal
