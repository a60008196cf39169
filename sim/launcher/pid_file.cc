#include "sim/launcher/pid_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "sim/launcher/launcher_paths.h"
#include "sim/machine/machine_error.h"

namespace sim::launcher {
namespace {

// How long a lock held by someone else is tried again, in steps: long enough for any reader,
// short enough for a refusal to come at once.
constexpr int kLockAttempts = 50;
constexpr std::chrono::milliseconds kLockRetryDelay(10);

// The pid the file holds, if it holds one.
std::optional<pid_t> ReadPid(const mcom::File& file) {
  char text[32];
  const ssize_t length = ::pread(file.get(), text, sizeof text - 1, 0);
  if (length <= 0) return std::nullopt;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text, text + length, pid);
  if (error != std::errc() || end == text || pid <= 0 || (end != text + length && *end != '\n')) {
    return std::nullopt;
  }
  return pid;
}

bool Lock(const mcom::File& file, int operation) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (::flock(file.get(), operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    std::this_thread::sleep_for(kLockRetryDelay);
  }
  return false;
}

// Whether `file` is still the one at `path`: a launcher that stops removes its file while it
// holds the lock, and whoever locked the removed file has to open the new one.
bool IsAtPath(const mcom::File& file, const mcom::FilePath& path) {
  struct stat opened {
  }, current{};
  return ::fstat(file.get(), &opened) == 0 && ::stat(path.c_str(), &current) == 0 &&
         opened.st_dev == current.st_dev && opened.st_ino == current.st_ino;
}

[[noreturn]] void Fail(const std::string& what, const mcom::FilePath& path) {
  throw MachineError("cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

PidFile PidFile::Acquire(const mcom::FilePath& root) {
  const mcom::FilePath path = PidFilePath(root);
  for (;;) {
    mcom::File file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file) Fail("open", path);
    if (!Lock(file, LOCK_EX)) {
      if (errno != EWOULDBLOCK && errno != EINTR) Fail("lock", path);
      const std::optional<pid_t> holder = ReadPid(file);
      throw MachineError("a launcher already runs for " + root.string() +
                         (holder ? " (pid " + std::to_string(*holder) + ")" : ""));
    }
    if (!IsAtPath(file, path)) continue;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(file.get(), 0) != 0 ||
        ::pwrite(file.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      Fail("write", path);
    }
    return PidFile(path, std::move(file));
  }
}

void PidFile::Remove() {
  if (!file_) return;
  ::unlink(path_.c_str());
  (void)file_.Close();
}

std::optional<pid_t> RunningLauncherPid(const mcom::FilePath& root) {
  const mcom::File file(::open(PidFilePath(root).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file) return std::nullopt;
  if (::flock(file.get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;  // stale
  // A launcher that has just taken the file writes its pid right after locking it.
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (const std::optional<pid_t> pid = ReadPid(file)) return pid;
    std::this_thread::sleep_for(kLockRetryDelay);
  }
  return std::nullopt;
}

}  // namespace sim::launcher
