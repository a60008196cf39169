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

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/foundation/file.h"
#include "platform/posix/child_process.h"

namespace transport_testing {

// A running child of the test binary with its standard input, output and error connected
// to pipes. Destroying it kills the child if it still runs and reaps it.
class Child {
 public:
  Child(const std::string& mode, const std::vector<std::string>& arguments);
  pid_t pid() const { return child_.pid(); }

  // The next line of standard output (without its newline); empty when the stream ended or
  // nothing came within `timeout` (a guard against hangs, not a timing check).
  std::string ReadLine(std::chrono::seconds timeout = std::chrono::seconds(60));
  // Everything written to standard error until the child exited (call after Wait).
  std::string ReadStandardError();
  void WriteLine(const std::string& line);
  // Ends the child's standard input.
  void CloseInput();
  // Waits for the child to end and returns its exit status or the number of the signal that
  // ended it; -1 when it was still running after `timeout` and was killed.
  int Wait(std::chrono::seconds timeout = std::chrono::seconds(60));

 private:
  mcom::ChildProcess child_;
  mcom::File input_;
  mcom::File output_;
  mcom::File error_;
  std::string buffered_;
};

}  // namespace transport_testing
