#pragma once

#include <cerrno>
#include <system_error>

namespace mcom {

// The one place where errno becomes a std::error_code. Platform wrappers report errno values
// in the generic category unless their contract says otherwise.
inline std::error_code LastError() { return std::error_code(errno, std::generic_category()); }
inline std::error_code LastSystemError() { return std::error_code(errno, std::system_category()); }

// Calls `call` again while it fails with EINTR; returns its last result.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace mcom
