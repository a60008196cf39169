// sw_vers: the machine's product name, version and build from its facts, in the real form:
//
//   ProductName:	macOS
//   ProductVersion:	10.15.7
//   BuildVersion:	19H2
//
// It takes no arguments.
//
// Fault-injection hook:
//   sw_vers.run   fails before anything is printed

#include <ostream>

#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {

int RunSwVers(ToolContext& context) {
  if (!context.arguments().empty()) return context.UsageError("sw_vers");
  if (auto failure = InjectedFailureAt(context, "run", "Could not read the system version")) {
    return context.Fail(failure->message, failure->status);
  }
  const Facts facts = context.machine().Read().facts;
  context.out() << "ProductName:\t" << facts.product_name << "\nProductVersion:\t"
                << facts.product_version << "\nBuildVersion:\t" << facts.build_version << "\n";
  return context.out().flush() ? 0 : 1;
}

}  // namespace sim::tools
