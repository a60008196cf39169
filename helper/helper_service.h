#pragma once

#include "transport/port_right.h"

namespace helper {

// Serves the helper's ports from the main queue: `service` (the checked-in service port)
// hands a send right to one shared session port to every caller that IsCallerAllowed
// accepts; the session port serves the work requests on the global queue.
//
// The process lives as long as somebody holds a session: an idle timer ends it with status
// 0 five seconds after the start, is disarmed by each accepted session, and is armed again
// five seconds after the last session right went away ("no sessions!" on standard output).
// A running request does not hold the process.
//
// Call once, from an item on the main queue; the objects it makes live until the process
// exits (they are never destroyed, so that the idle exit does not wait for running work).
void ServeHelperPorts(mach::PortRight<mach::Receive> service);

}  // namespace helper
