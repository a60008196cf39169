#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <system_error>

#include "platform/posix/scoped_fd.h"

namespace mcom {

// Owner of a child process of this process. It holds the process id and, where the kernel
// has them, a pidfd, through which signals reach exactly this process even if something else
// reaped it meanwhile. A child that has not been waited for when its owner goes is waited
// for or killed first, as the owner was told, and always reaped: no child outlives its owner
// unnoticed and no zombie stays. Move-only.
class ChildProcess {
 public:
  // What the destructor does with a child that has not been waited for.
  enum class WhenDestroyed {
    kWait,  // waits for it to end on its own (a tool whose pipes the caller has closed)
    kKill,  // sends SIGKILL, then waits (a child a test or a failed start left behind)
  };

  ChildProcess() = default;
  // Adopts the child `pid`. A pid below 1 makes an empty owner.
  ChildProcess(pid_t pid, WhenDestroyed when_destroyed);
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool is_valid() const { return pid_ > 0; }
  explicit operator bool() const { return is_valid(); }

  // Sends `signal` to the child; the error in the generic category (ESRCH once it has been
  // reaped, by this owner or anyone else).
  std::error_code Signal(int signal) const;

  // Waits until the child ends and reaps it; the owner is empty afterwards. The result, in
  // the system category, is 0 when the child exited with status 0, its exit status
  // otherwise, or the number of the signal that ended it; a failed wait gives its errno
  // (ECHILD for a process that is not this process's child, or was reaped elsewhere).
  std::error_code Wait();

  // Like Wait, but gives up after `timeout` and returns nothing, the child still running
  // and still owned.
  std::optional<std::error_code> WaitFor(std::chrono::milliseconds timeout);

  // Gives the child up without waiting for it; the caller becomes responsible for reaping.
  [[nodiscard]] pid_t release();

 private:
  void Finish();

  pid_t pid_ = -1;
  ScopedFD pidfd_;
  WhenDestroyed when_destroyed_ = WhenDestroyed::kWait;
};

}  // namespace mcom
