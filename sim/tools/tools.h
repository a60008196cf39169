#pragma once

// The simulated disk tools, one function each: each runs one invocation and returns the
// process's exit status.

#include "sim/tools/tool_context.h"

namespace sim::tools {

int RunHdiutil(ToolContext& context);
int RunDiskutil(ToolContext& context);
int RunAsr(ToolContext& context);
int RunBless(ToolContext& context);
int RunReboot(ToolContext& context);
int RunDitto(ToolContext& context);
int RunLog(ToolContext& context);
int RunIoreg(ToolContext& context);
int RunDmesg(ToolContext& context);
int RunMount(ToolContext& context);
int RunSwVers(ToolContext& context);

}  // namespace sim::tools
