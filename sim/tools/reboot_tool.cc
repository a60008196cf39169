// reboot: records a restart request in the machine (the boot settings' RestartRequested) and
// exits 0, printing nothing. It takes no arguments.
//
// Fault-injection hook:
//   reboot.restart   fails before the request is recorded

#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {

int RunReboot(ToolContext& context) {
  if (!context.arguments().empty()) return context.UsageError("reboot");
  if (auto failure = InjectedFailureAt(context, "restart", "Operation not permitted")) {
    return context.Fail(failure->message, failure->status);
  }
  context.machine().Change([](Model& model) { model.boot.restart_requested = true; });
  return 0;
}

}  // namespace sim::tools
