#pragma once

#include <string>
#include <vector>

#include "core/foundation/cf_object.h"
#include "core/foundation/cf_ref.h"

namespace sim::launcher {

// A launchd job as the launcher runs it, read from its property list (launchd.plist(5)):
//
//   Label               string, required: the job's name
//   Program             string: the executable; required without ProgramArguments
//   ProgramArguments    array of strings: the arguments, the program's name first; the
//                       executable is its first element when Program is missing
//   MachServices        dictionary: name -> true, or name -> dictionary (whose keys, such
//                       as ResetAtClose, are accepted and not acted on)
//   StandardOutPath, StandardErrorPath
//                       strings: files the job's output is appended to
//   ThrottleInterval    integer: the least number of seconds between two starts (10)
//
// Other keys are ignored. Paths are Mac paths (absolute, resolved under the machine root when
// the job starts).
struct LaunchJob {
  static constexpr int kDefaultThrottleInterval = 10;

  std::string label;
  std::string program;
  std::vector<std::string> arguments;  // argv: ProgramArguments, or just Program
  std::vector<std::string> mach_services;
  std::string standard_out_path;  // empty: /dev/null
  std::string standard_error_path;
  int throttle_interval = kDefaultThrottleInterval;

  bool operator==(const LaunchJob&) const = default;
};

// The job described by `plist`. Throws MachineError naming the first problem
// ("missing the required key Label", "ThrottleInterval: not a non-negative integer"). A
// service name must be usable as a bootstrap name: one path component of at most 255
// bytes; a ',' is refused too, since the hand-over of the sockets separates names with it.
LaunchJob ParseLaunchJob(const mcom::cf::Ref<mcom::cf::Object>& plist);

}  // namespace sim::launcher
