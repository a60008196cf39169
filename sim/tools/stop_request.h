#pragma once

// A simulated tool that must end cleanly when it is told to stop (SIGINT, SIGTERM or SIGHUP,
// as the real tool's caller sends it to end a long copy): the handlers only record the
// signal, and the tool's copy loop asks for it between steps, so that it removes what it
// half made, gives back what it holds and reports the failure as the real tool would,
// instead of dying with its claims and half-made volumes left in the machine.
namespace sim::tools {

// Installs the handlers. Call once, before the work starts.
void InstallStopRequestHandlers();

// The first stop signal received, or 0.
int StopRequested();

}  // namespace sim::tools
