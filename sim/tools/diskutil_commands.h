#pragma once

#include <optional>
#include <span>
#include <string>

#include "sim/tools/injected_failure.h"
#include "sim/tools/tool_context.h"

// The verbs of the simulated diskutil, one function each; each takes the arguments after
// its verb and returns the exit status. Shared by diskutil_tool.cc, which dispatches on the
// verb.
namespace sim::tools::diskutil {

using Arguments = std::span<const std::string>;

// list [-plist] [DISK]
int RunList(ToolContext& context, Arguments arguments);
// info DISK | info -all
int RunInfo(ToolContext& context, Arguments arguments);
// unmountDisk [force] DISK
int RunUnmountDisk(ToolContext& context, Arguments arguments);
// partitionDisk DISK [COUNT] GPT FORMAT NAME SIZE ...
int RunPartitionDisk(ToolContext& context, Arguments arguments);
// apfs createContainer DISK
int RunCreateContainer(ToolContext& context, Arguments arguments);
// apfs list
int RunAPFSList(ToolContext& context, Arguments arguments);

// The fault hook "diskutil.<verb>", in the forms of injected_failure.h. The points before the
// work (fail-before-start, fail-at-start, fail and fail-after-percent, as diskutil copies
// nothing) fail the verb before it changes anything; fail-at-exit fails it after its work.
// The message is `usual` unless the value gives one.
class DiskutilHook {
 public:
  DiskutilHook(ToolContext& context, const std::string& verb, std::string usual);

  // When the hook fails the verb before its work: writes the message and returns the status.
  std::optional<int> BeforeWork();
  // `status`, the verb's own outcome; for a verb that succeeded, the hook's failure at exit.
  int AfterWork(int status);

 private:
  ToolContext& context_;
  std::optional<InjectedFailure> failure_;
  std::string usual_;
};

// Writes `message` as one line to standard error, as diskutil reports failures, and
// returns 1.
int ReportError(ToolContext& context, const std::string& message);

// The error diskutil gives for a disk argument it cannot resolve.
std::string CouldNotFindDisk(const std::string& argument);

}  // namespace sim::tools::diskutil
