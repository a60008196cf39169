#pragma once

// Interruptions of a long operation by the signals a user or the system sends to stop it:
// SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (the reader of our
// output went away).
//
// A command-line program installs the handlers once at start. From then on the first such
// signal is recorded and every tool registered as stoppable (the long copies) is sent
// SIGTERM, so it ends soon and the step that waits for it fails; short steps are never cut
// off half-way, since a tool killed while it changes a disk leaves that disk in a state
// nobody knows. The engine checks for an interruption between its steps, so after a signal
// it stops at the next step, runs its clean-up (images detached, partial files removed) and
// the program exits with 128 + the signal's number.
//
// Without installed handlers (the helper, tests) nothing is ever recorded and the checks
// never throw. Tools are started in a process group of their own (process.h), so a Ctrl-C
// at the terminal reaches this process only, which decides what to stop.

#include <sys/types.h>

#include <string>

namespace mcom {

// Installs the handlers (SA_RESTART). Call once, from the main thread, before any tool runs.
void InstallInterruptionHandlers();

// The first interrupting signal received, or 0 when there has been none.
int InterruptingSignal();

// Throws Error(operation, "interrupted by SIGINT") (with the signal's name) once a signal has
// been received; otherwise does nothing.
void ThrowIfInterrupted(const char* operation);

// "SIGINT", "SIGTERM", "SIGHUP", "SIGPIPE", else "signal N".
std::string SignalName(int signal);

// Registers a running child as stoppable for as long as this object lives: an interruption
// sends it SIGTERM. A child registered after the signal arrived is sent SIGTERM at once.
// Never throws; when every slot is taken (more than 16 children at once) the child is simply
// not stopped early.
class StoppableChild {
 public:
  explicit StoppableChild(pid_t pid);
  ~StoppableChild();
  StoppableChild(const StoppableChild&) = delete;
  StoppableChild& operator=(const StoppableChild&) = delete;

 private:
  int slot_ = -1;
};

// For tests: forgets a recorded signal, as if none had been received.
void ResetInterruptionForTesting();
// For tests: records `signal` as the handler would, stopping the registered children.
void SimulateInterruptionForTesting(int signal);

}  // namespace mcom
