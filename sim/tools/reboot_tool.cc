// reboot: records a restart request in the machine (the boot settings' RestartRequested) and
// exits 0, printing nothing. It takes no arguments.
//
// Fault-injection hook (injected_failure.h), with the usual message "Operation not
// permitted":
//   reboot.restart   fail-before-start, fail-at-start (before the request is recorded) or
//                    fail-at-exit (the request is recorded, and yet the tool fails)

#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {

int RunReboot(ToolContext& context) {
  using Point = InjectedFailure::Point;
  constexpr std::string_view kUsualFailure = "Operation not permitted";
  const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "restart"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, kUsualFailure)) return *status;
  if (!context.arguments().empty()) return context.UsageError("reboot");
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;
  context.machine().Change([](Model& model) { model.boot.restart_requested = true; });
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

}  // namespace sim::tools
