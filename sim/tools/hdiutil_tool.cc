// The simulated hdiutil: disk images of the machine's image format (sim/image), attached as
// disks of the simulated machine.
//
// Verbs and the command lines accepted (options of a verb in any order, each at most once;
// anything else is a usage error):
//   create -size SIZE -type SPARSE -layout NONE PATH    (".sparseimage" appended when missing)
//   attach [-nobrowse] [-owners on|off] [-readonly|-readwrite] [-plist] [-nomount]
//          [-mount required|optional|suppressed] [-mountpoint DIR] [-noverify]
//          [-noautoopen] [-shadow FILE] IMAGE
//   detach [-force] DEVICE|MOUNTPOINT
//   resize -size SIZE -growonly IMAGE [-shadow FILE]
//   convert -format UDZO|UDRW|UDSP -o DESTINATION [-puppetstrings] SOURCE [-shadow FILE]
//   info [-plist]
// README.md describes each verb's output and errors.
//
// Fault-injection hooks: "hdiutil.<verb>" for each verb ("macsim set ROOT
// fault.hdiutil.attach fail-at-exit"), with the failure points and values of hdiutil_faults.h;
// the usual lines:
//   hdiutil.create   "create failed - No space left on device"
//   hdiutil.attach   "attach failed - Device not configured"
//   hdiutil.detach   at the start "couldn't unmount "diskN" - Resource busy", elsewhere
//                    "detach failed - Resource busy"
//   hdiutil.resize   "resize failed - Resource busy"
//   hdiutil.convert  "convert failed - Input/output error" (also after a percentage)
//   hdiutil.info     "info failed - Device not configured"
// and "hdiutil.attach-output" = "text" | "empty-entities" | "bad-dev-entry": attach prints
// output the system's parser must refuse (lines instead of a property list; an empty
// "system-entities"; a "dev-entry" of "/dev/disk9x"), yet attaches the image and exits 0.

#include <map>

#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

using VerbFunction = int (*)(ToolContext&, const HdiutilArguments&);

const std::map<std::string, VerbFunction>& Verbs() {
  static const std::map<std::string, VerbFunction> verbs{
      {"attach", RunHdiutilAttach}, {"convert", RunHdiutilConvert}, {"create", RunHdiutilCreate},
      {"detach", RunHdiutilDetach}, {"info", RunHdiutilInfo},       {"resize", RunHdiutilResize},
  };
  return verbs;
}

}  // namespace

int RunHdiutil(ToolContext& context) {
  const std::vector<std::string>& arguments = context.arguments();
  const auto verb = arguments.empty() ? Verbs().end() : Verbs().find(arguments[0]);
  if (verb == Verbs().end()) {
    return context.UsageError(
        "hdiutil <verb> <options>\n<verb> is one of: attach convert create detach info resize");
  }
  try {
    // The points of the verb's fault hook that lie outside the verb itself.
    const std::optional<HdiutilFault> fault = ReadHdiutilFault(context, verb->first);
    if (fault && fault->point == HdiutilFault::Point::kBeforeStart) {
      ThrowFault(*fault, DefaultFailureLine(verb->first));
    }
    const int status =
        verb->second(context, HdiutilArguments(arguments.begin() + 1, arguments.end()));
    if (status == 0 && fault && fault->point == HdiutilFault::Point::kAtExit) {
      context.out().flush();
      ThrowFault(*fault, DefaultFailureLine(verb->first));
    }
    return status;
  } catch (const HdiutilFailure& failure) {
    context.out().flush();
    return context.Fail(failure.what(), failure.status());
  }
}

}  // namespace sim::tools
