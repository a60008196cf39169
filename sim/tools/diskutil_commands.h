#pragma once

#include <optional>
#include <span>
#include <string>

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

// The failure that the fault hook "diskutil.<verb>" asks for, if it is set: `usual` for
// "fail", MESSAGE for "fail:MESSAGE". A value of another form is itself reported as the
// failure, so that a mistyped hook never passes unnoticed.
std::optional<std::string> InjectedFailure(ToolContext& context, const std::string& verb,
                                           const std::string& usual);

// Writes `message` as one line to standard error, as diskutil reports failures, and
// returns 1.
int ReportError(ToolContext& context, const std::string& message);

// The error diskutil gives for a disk argument it cannot resolve.
std::string CouldNotFindDisk(const std::string& argument);

}  // namespace sim::tools::diskutil
