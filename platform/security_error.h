#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using OSStatus = int32_t;

// SecCopyErrorMessageString(status, NULL): the Security framework's text of a status
// ("code object is not signed at all" for -67062). Statuses in 100000…100255 give
// "UNIX[<strerror>]"; unknown statuses give "OSStatus <n>". Empty only where the platform
// returns nothing.
std::optional<std::string> SecurityErrorMessage(OSStatus status);

}  // namespace platform
