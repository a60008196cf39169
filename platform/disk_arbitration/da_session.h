#pragma once

#include "platform/dispatch/queue.h"

// A session with the disk-arbitration service (DASession.h). Requests are made through the
// disks of a session, and its answers (request completions, appeared and disappeared disks,
// mount approvals) are delivered on the dispatch queue the session is scheduled on.
//
// On Linux the service is the simulated Mac's mount service (sim/machine): a session acts
// on the machine whose root was mcom::SystemRoot() when the session was created.
namespace platform {

// A session. Opaque; reference counted (CFRetain and CFRelease below); thread-safe.
struct DASession;
using DASessionRef = DASession*;

// A new, unscheduled session with one reference for the caller (DASessionCreate with the
// default allocator). Never null: a root that holds no machine gives a session that finds no
// disks.
DASessionRef DASessionCreate();

// Schedules the session on `queue`, or unschedules it when `queue` is empty
// (DASessionSetDispatchQueue). Completions, appeared and disappeared callbacks and approval
// callbacks of the session run on that queue, never on the thread that made the request.
//
// An unscheduled session still carries out requests. As on the platform, its appeared,
// disappeared and approval callbacks are not called. Unlike the platform, which never
// delivers the completion of an unscheduled session's request (so a waiter for it would wait
// for ever), the completion then runs on the global concurrent queue.
void DASessionSetDispatchQueue(DASessionRef session, const dispatch::Queue& queue);

// One more reference to `session` (returned), or one less. When the last reference goes, the
// session's registrations end (its callbacks are not called again, its mount blockers are
// removed from the machine); requests already made are still carried out and answered.
// Null is ignored.
DASessionRef CFRetain(DASessionRef session);
void CFRelease(DASessionRef session);

}  // namespace platform
