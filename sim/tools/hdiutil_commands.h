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
// error ("attach failed - Resource busy"); the exit status is 1, as the real tool's, unless a
// fault hook asks for another.
class HdiutilFailure : public std::runtime_error {
 public:
  explicit HdiutilFailure(const std::string& line, int status = 1)
      : std::runtime_error(line), status_(status) {}

  int status() const { return status_; }

 private:
  int status_;
};

using HdiutilArguments = std::vector<std::string>;

int RunHdiutilCreate(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilAttach(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilDetach(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilResize(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilConvert(ToolContext& context, const HdiutilArguments& arguments);
int RunHdiutilInfo(ToolContext& context, const HdiutilArguments& arguments);

}  // namespace sim::tools
