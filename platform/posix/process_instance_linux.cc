#if !defined(__linux__)
#error "process_instance_linux.cc reads Linux's /proc"
#endif

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <string>

#include "platform/posix/posix_error.h"
#include "platform/posix/process_instance.h"
#include "platform/posix/scoped_fd.h"

namespace mcom {

std::optional<uint64_t> ProcessStartTime(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const ScopedFD file(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!file.is_valid()) return std::nullopt;
  char buffer[1024];
  const ssize_t length =
      RetryOnInterrupt([&] { return ::read(file.get(), buffer, sizeof buffer - 1); });
  if (length <= 0) return std::nullopt;
  // "PID (COMMAND) STATE PPID …": the command may hold blanks and parentheses, so the fields
  // are counted from the last ')'. The start time is field 22; STATE is field 3.
  const std::string_view text(buffer, static_cast<size_t>(length));
  size_t at = text.rfind(')');
  if (at == std::string_view::npos) return std::nullopt;
  for (int field = 2; field < 22; ++field) {
    at = text.find(' ', at + 1);
    if (at == std::string_view::npos) return std::nullopt;
  }
  uint64_t start_time = 0;
  const char* begin = text.data() + at + 1;
  const auto [end, failure] = std::from_chars(begin, text.data() + text.size(), start_time);
  if (failure != std::errc() || end == begin) return std::nullopt;
  return start_time;
}

uint32_t PidVersion(uint64_t start_time) {
  const auto version = static_cast<uint32_t>(start_time);
  return version != 0 ? version : 1;
}

uint32_t CurrentPidVersion(pid_t pid) {
  const std::optional<uint64_t> start_time = ProcessStartTime(pid);
  return start_time ? PidVersion(*start_time) : 0;
}

}  // namespace mcom
