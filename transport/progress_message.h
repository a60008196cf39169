#pragma once

#include <optional>

#include "transport/mach.h"
#include "transport/message_buffer.h"
#include "transport/port_right.h"
#include "transport/progress_update.h"

namespace mach {

// Sends one ProgressMessage (id 200, one-way, the sender keeps its right) with `update` to
// `port`, without time-out, and returns the kernel's code. When the port's receiver is gone
// (MACH_SEND_INVALID_DEST) the message's region is released here.
mach_msg_return_t SendProgress(const PortRight<Send>& port, const ProgressUpdate& update);

// The update of a received progress message: complex, 44 bytes, one out-of-line
// descriptor with a valid payload. Nothing for any other message; the id is not checked.
std::optional<ProgressUpdate> DecodeProgressMessage(MessageBuffer& message);

}  // namespace mach
