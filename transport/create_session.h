#pragma once

#include <variant>

#include "core/foundation/error.h"
#include "transport/audit_token.h"
#include "transport/port_right.h"

namespace mach {

// A session with the helper: a send right to its session port, and the audit token of the
// helper process that handed it out (from the trailer of its reply), with which the
// application checks the helper's signature. Holding the right keeps the helper alive.
struct Session {
  PortRight<Send> port;
  mcom::AuditToken helper;
};

// Looks up the helper's service port by name ("com.halvex-software.Dorvane.helper") and
// sends it the argument-less request 200; the reply carries the session right. The service
// right is released before returning.
//
// Errors (operation "CreateSession"), each also logged at error level:
// - the name is unknown to the bootstrap server (helper not installed or not running):
//   "bootstrap lookup failed with error: " + the system's text of the code (logged as
//   "bootstrap lookup failed with error %d");
// - the request failed or was not answered (a refused caller gets no reply, which arrives
//   as -300): "failed to get session port: " + the code's text.
std::variant<Session, Error> CreateSession();

}  // namespace mach
