// sw_vers: the machine's product name, version and build from its facts, in the real form:
//
//   ProductName:	macOS
//   ProductVersion:	10.15.7
//   BuildVersion:	19H2
//
// It takes no arguments.
//
// Fault-injection hook (injected_failure.h), with the usual message "Could not read the system
// version":
//   sw_vers.run   fail-before-start, fail-at-start (before anything is printed) or
//                fail-at-exit (after all of the output)

#include <ostream>

#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {

int RunSwVers(ToolContext& context) {
  using Point = InjectedFailure::Point;
  constexpr std::string_view kUsualFailure = "Could not read the system version";
  const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "run"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, kUsualFailure)) return *status;
  if (!context.arguments().empty()) return context.UsageError("sw_vers");
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;
  const Facts facts = context.machine().Read().facts;
  context.out() << "ProductName:\t" << facts.product_name << "\nProductVersion:\t"
                << facts.product_version << "\nBuildVersion:\t" << facts.build_version << "\n";
  if (!context.out().flush()) return 1;
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

}  // namespace sim::tools
