// The simulated `asr`: restores with replication from one APFS container into another, and
// restores a disk image's volume onto a partition (asr_replication.h, asr_image_restore.h
// say exactly what each does). Output is the "--puppetstrings" form (puppet_strings.h);
// a failure prints its message and "XSTA\tfail" on standard output, "asr: MESSAGE" on
// standard error, and exits non-zero.
//
// Fault hook (asr_fault.h has the value's form):
//   asr.restore   fail-before-start, fail-at-start, fail-after-volume:N,
//                 fail-after-percent:P, fail-at-exit, hold-after-percent:P; optional
//                 ";status=S" and ";message=TEXT".
//
// Told to stop (SIGINT, SIGTERM, SIGHUP) while copying, it removes the half-made copy, gives
// back what it holds and fails with "Could not restore - Operation canceled".

#include "sim/tools/asr_arguments.h"
#include "sim/tools/asr_fault.h"
#include "sim/tools/asr_image_restore.h"
#include "sim/tools/asr_replication.h"
#include "sim/tools/asr_run.h"
#include "sim/tools/stop_request.h"
#include "sim/tools/tools.h"

namespace sim::tools {

int RunAsr(ToolContext& context) {
  const std::optional<AsrRequest> request = ParseAsrArguments(context.arguments());
  if (!request) return context.UsageError(kAsrUsage);

  std::optional<AsrFault> fault;
  if (const std::optional<std::string> value = context.Fault("restore")) {
    fault = ParseAsrFault(*value);
    if (!fault) return context.Fail("the fault hook asr.restore has an unknown value: " + *value);
  }
  InstallStopRequestHandlers();
  AsrRun run(context, fault);
  if (const auto* replication = std::get_if<ReplicationRequest>(&*request)) {
    return RunReplication(run, *replication);
  }
  return RunImageRestore(run, std::get<ImageRestoreRequest>(*request));
}

}  // namespace sim::tools
