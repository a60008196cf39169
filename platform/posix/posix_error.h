#pragma once

#include <cerrno>
#include <system_error>

namespace mcom {

// The one place where errno becomes a std::error_code. Wrappers report errno values in the
// generic category unless their contract says otherwise.
inline std::error_code LastError() { return std::error_code(errno, std::generic_category()); }
inline std::error_code LastSystemError() { return std::error_code(errno, std::system_category()); }

// Calls `call` again while it fails with EINTR and returns its last result: the one wrapper
// for system calls that a signal may interrupt. `call` returns -1 on failure, as they do.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace mcom
