#pragma once

// Test support of the transport's tests: child processes of the test binary that serve or
// use the helper's ports under a temporary machine root, and the parent's handle on them.
//
// Child "session_server" (arguments: machine root, behaviour) checks in the helper's service
// name and serves CreateSession on a main-queue server and the session requests on a
// global-queue server, as the helper does; it prints "ready" once serving and "no sessions!"
// on each no-senders notification. Behaviour "refuse" leaves CreateSession unanswered.
// The replicate request (200) acts on its source disk number:
//   1    sends `target disk` progress updates (the fraction i/n and "step i" alternately),
//        waits for a GetAuthorization request (the client's acknowledgement of the last
//        update), replies without error, then sends "late i" updates until the port is gone
//   2    replies with Error("ReplicateContainer", "failed", cause Error("asr", "boom"))
//   3    drops the request (never sets the promise)
//   4    ends the process without replying
//   100+ replies with Error("echo", "disk<N>") for source disk N
// CollectLogs (201) replies with a file holding "log archive of <pid>"; BuildRecovery (202)
// replies with Error("BuildRecovery", "<pid of the sender> <disk name>"); GetAuthorization
// (203) replies with bytes[0] = the number of no-senders notifications so far and bytes 1-31
// = 1..31.
//
// Child "wrong_reply_server" (argument: machine root) answers every request on the service
// port with a CreateSession-shaped reply whose id is the request's id + 101.
//
// Child "session_client" (argument: machine root) takes a session, prints "session", then
// for each line "ping" on its standard input calls GetAuthorization and prints
// "count <bytes[0]>"; it exits when its standard input ends.

#include "tests/support/interactive_child.h"

namespace transport_testing {

// A child of the test binary in one of the modes above.
using Child = testing::InteractiveChild;

}  // namespace transport_testing
