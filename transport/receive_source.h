#pragma once

#include "core/foundation/dispatch.h"
#include "core/foundation/result.h"
#include "transport/port_right.h"

namespace mach {

// A dispatch source that runs its event handler on `queue` whenever a message (or anything
// else the port must handle, such as a departed sender) is queued on `port`
// (DISPATCH_SOURCE_TYPE_MACH_RECV). Created suspended; the right must outlive the source's
// cancellation. Fails with an errno value in the generic category.
mcom::Result<mcom::DispatchSource> CreateReceiveSource(const PortRight<Receive>& port,
                                                       const mcom::DispatchQueue& queue);

}  // namespace mach
