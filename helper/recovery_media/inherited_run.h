#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace recovery_media_internal {

// Starts `tool` (a macOS path, under the machine root) with both streams inherited, so that
// its words reach the helper's log, and waits for it. A failure to start is thrown as
// std::system_error; the exit status is returned (WaitForProcess).
std::error_code RunInherited(const char* tool, const std::vector<std::string>& arguments);

}  // namespace recovery_media_internal
