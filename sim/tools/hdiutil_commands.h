#pragma once

// The verbs of the simulated hdiutil, one function each (hdiutil_tool.cc dispatches on the
// first argument). Each gets the arguments after the verb and returns the exit status;
// failures that end the verb are thrown as HdiutilFailure and printed by the dispatcher.

#include <stdexcept>
#include <string>
#include <vector>

#include "sim/tools/tool_context.h"

namespace sim::tools {

// A failure that ends an hdiutil verb: `what()` is the line after "hdiutil: " on standard
// error ("attach failed - Resource busy"); the exit status is 1, as the real tool's.
class HdiutilFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using HdiutilArguments = std::vector<std::string>;

int RunHdiutilCreate(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilAttach(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilDetach(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilResize(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilConvert(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilInfo(ToolContext& context, const HdiutilArguments& arguments);

}  // namespace sim::tools
