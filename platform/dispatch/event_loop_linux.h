#pragma once

// Internal to the dispatch library: the thread that watches the descriptors of all sources
// with epoll and tells each source when its descriptor is ready. It runs no user code.

#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>

namespace dispatch::internal {

// Something that learns when its descriptor is ready.
class EventTarget {
 public:
  virtual ~EventTarget() = default;
  // Called on the event thread with the epoll event bits. Watches are one-shot: the
  // descriptor is not watched again until Arm.
  virtual void OnReady(uint32_t events) = 0;
};

class EventLoop {
 public:
  // The one loop of the process, started on first use and never destroyed; its thread
  // waits in epoll until the process exits.
  static EventLoop& Get();

  // Registers `fd` for `target`, not yet armed, and returns the registration's id. The loop
  // holds `target` weakly: a target that is gone is simply not told.
  std::error_code Add(int fd, std::weak_ptr<EventTarget> target, uint64_t* id);
  // Watches `fd` for readability once more.
  std::error_code Arm(int fd, uint64_t id);
  // Ends the registration; `fd` must still be open. Events already taken from epoll for it
  // may still reach the target, which must ignore them.
  void Remove(int fd, uint64_t id);

 private:
  EventLoop() = default;
  std::error_code Start();
  void Run();

  std::once_flag started_;
  std::error_code start_error_;
  int epoll_fd_ = -1;
  std::mutex mutex_;
  uint64_t next_id_ = 1;
  std::unordered_map<uint64_t, std::weak_ptr<EventTarget>> targets_;
};

}  // namespace dispatch::internal
