#pragma once

// What both forms of `asr restore` share: the puppet-string output, the fault hook, and how
// a failure is reported.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "sim/machine/model.h"
#include "sim/tools/asr_fault.h"
#include "sim/tools/puppet_strings.h"
#include "sim/tools/tool_context.h"

namespace sim::tools {

// A failure of the run: `what()` is the message printed after "asr: ", `status()` the exit
// status.
class AsrError : public std::runtime_error {
 public:
  explicit AsrError(const std::string& message, int status = 1)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Throws AsrError ("Could not validate target - Resource busy: ...") when `volume` is mounted
// and another process uses its files (its working directory, or a file open there): what
// keeps the real tool from unmounting a target.
void ThrowIfVolumeInUse(const Volume& volume);

// "Copied N bytes in S seconds, K KiB/s", the text line with which the real tool ends the
// copy of a restore.
std::string CopiedLine(uint64_t bytes, std::chrono::duration<double> elapsed);

class AsrRun {
 public:
  AsrRun(ToolContext& context, std::optional<AsrFault> fault);

  ToolContext& context() { return context_; }
  PuppetStrings& out() { return out_; }

  // Prints "XSTA\tstart\t..." and answers the fault hook's first two points: returns the
  // exit status of a run that must end before it begins (fail-before-start, which prints
  // its message on standard error only), else nothing. Throws AsrError for fail-at-start.
  std::optional<int> Start();

  // Throws AsrError when the fault hook fails the run once `copied` volumes are done, or
  // when the tool was told to stop (stop_request.h).
  void AfterVolume(uint32_t copied);
  // Whether the copy of a volume may go on at `percent` (false: the hook fails it here, or
  // the tool was told to stop; then PercentFault() is the error to throw). A hold point
  // waits here while its hook is set.
  bool MayContinueAt(uint32_t percent);
  AsrError PercentFault() const;
  // Throws AsrError when the hook fails the run at its end.
  void AtExit();

  // Reports `error` the way the real tool does: the message alone on standard output (a
  // line without a leading tab, which readers of the puppet strings keep as the tool's
  // complaint), then "XSTA\tfail"; "asr: MESSAGE" on standard error. Returns the exit
  // status.
  int Fail(const AsrError& error);

 private:
  ToolContext& context_;
  std::optional<AsrFault> fault_;
  bool held_ = false;
  PuppetStrings out_;
};

}  // namespace sim::tools
