#include "platform/posix/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "platform/posix/posix_error.h"

namespace mcom {
namespace {

// Called through syscall() so that a C library without the wrappers still builds; a kernel
// without them answers ENOSYS and the owner works with the bare id.
int OpenPidFD(pid_t pid) {
#if defined(SYS_pidfd_open)
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int SendThroughPidFD(int pidfd, int signal) {
#if defined(SYS_pidfd_send_signal)
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
  (void)pidfd;
  (void)signal;
  errno = ENOSYS;
  return -1;
#endif
}

// What Wait gives for the status word of waitpid().
std::error_code ChildStatusCode(int wait_status) {
  // Only terminated children are reported (no WUNTRACED), so a status whose low seven bits
  // are neither 0 (exited) nor 0x7f (stopped) means a signal ended the child.
  const int signal = wait_status & 0x7f;
  if (signal != 0 && signal != 0x7f) return std::error_code(signal, std::system_category());
  return std::error_code((wait_status >> 8) & 0xff, std::system_category());
}

}  // namespace

ChildProcess::ChildProcess(pid_t pid, WhenDestroyed when_destroyed)
    : pid_(pid > 0 ? pid : -1), when_destroyed_(when_destroyed) {
  if (pid_ > 0) pidfd_.reset(OpenPidFD(pid_));
}

ChildProcess::~ChildProcess() { Finish(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      when_destroyed_(other.when_destroyed_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Finish();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    when_destroyed_ = other.when_destroyed_;
  }
  return *this;
}

void ChildProcess::Finish() {
  if (pid_ <= 0) return;
  if (when_destroyed_ == WhenDestroyed::kKill) (void)Signal(SIGKILL);
  (void)Wait();
}

std::error_code ChildProcess::Signal(int signal) const {
  if (pid_ <= 0) return std::error_code(ESRCH, std::generic_category());
  if (pidfd_.is_valid()) {
    if (SendThroughPidFD(pidfd_.get(), signal) == 0) return {};
    if (errno != ENOSYS) return LastError();
  }
  if (::kill(pid_, signal) != 0) return LastError();
  return {};
}

std::error_code ChildProcess::Wait() {
  if (pid_ <= 0) return std::error_code(ECHILD, std::system_category());
  int status = 0;
  const pid_t waited = RetryOnInterrupt([&] { return ::waitpid(pid_, &status, 0); });
  const std::error_code result = waited < 0 ? LastSystemError() : ChildStatusCode(status);
  pid_ = -1;
  pidfd_.reset();
  return result;
}

std::optional<std::error_code> ChildProcess::WaitFor(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::error_code(ECHILD, std::system_category());
  if (pidfd_.is_valid()) {
    pollfd ended{pidfd_.get(), POLLIN, 0};
    const int ready =
        RetryOnInterrupt([&] { return ::poll(&ended, 1, static_cast<int>(timeout.count())); });
    if (ready <= 0) return std::nullopt;  // still running, or no way to tell without blocking
    return Wait();
  }
  // Without a pidfd: look every few milliseconds.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t waited = RetryOnInterrupt([&] { return ::waitpid(pid_, &status, WNOHANG); });
    if (waited != 0) {
      pid_ = -1;
      return waited < 0 ? LastSystemError() : ChildStatusCode(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

pid_t ChildProcess::release() {
  pidfd_.reset();
  return std::exchange(pid_, -1);
}

}  // namespace mcom
