// The simulated hdiutil: disk images of the machine's image format (sim/image), attached as
// disks of the simulated machine.
//
// Verbs and the command lines accepted (options of a verb in any order, each at most once;
// anything else is a usage error):
//   create -size SIZE -type SPARSE -layout NONE PATH
//   attach [-nobrowse] [-owners on|off] [-readonly|-readwrite] [-plist] [-nomount]
//          [-mount required|optional|suppressed] [-mountpoint DIR] [-noverify]
//          [-noautoopen] [-shadow FILE] IMAGE
//   detach [-force] DEVICE|MOUNTPOINT
//   resize -size SIZE -growonly IMAGE [-shadow FILE]
//   convert -format UDZO|UDRW|UDSP -o DESTINATION [-puppetstrings] SOURCE [-shadow FILE]
//   info [-plist]
// README.md describes each verb's output and errors.
//
// Fault-injection hooks ("macsim set ROOT fault.hdiutil.<hook> VALUE"; hdiutil_faults.h has
// the values every hook takes):
//   hdiutil.create         "fail": "hdiutil: create failed - No space left on device"
//   hdiutil.attach         "fail": "hdiutil: attach failed - Device not configured"
//   hdiutil.attach-output  "text" | "empty-entities" | "bad-dev-entry": attach prints output
//                          the system's parser must refuse (lines instead of a property
//                          list; an empty "system-entities"; a "dev-entry" of
//                          "/dev/disk9x"), attaches nothing and exits 0
//   hdiutil.detach         "fail": "hdiutil: couldn't unmount "diskN" - Resource busy"
//   hdiutil.resize         "fail": "hdiutil: resize failed - Resource busy"
//   hdiutil.convert        "fail": "hdiutil: convert failed - Input/output error";
//                          "fail-at:N": the same once the progress reaches N per cent, after
//                          the PERCENT lines before it
//   hdiutil.info           "fail": "hdiutil: info failed - Device not configured"
// Each also takes "fail:TEXT" for "hdiutil: <verb> failed - TEXT".

#include <map>

#include "sim/tools/hdiutil_commands.h"
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
    return verb->second(context, HdiutilArguments(arguments.begin() + 1, arguments.end()));
  } catch (const HdiutilFailure& failure) {
    context.out().flush();
    return context.Fail(failure.what());
  }
}

}  // namespace sim::tools
