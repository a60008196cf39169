#pragma once

#include <string_view>

// The launcher's lines in the machine's system log: records of the form the foundation's
// logger writes (core/foundation/log.h), under launchd's name and path, so that `log show`
// lists them as the Mac's launchd's:
//
//   2026-12-06 16:45:33.123456+0000 localhost launchd[4242] (/sbin/launchd) <Default>: text
//
// The log is "/private/var/log/system.log" under the machine root (system_path.h). Each line
// is one append; a log that cannot be written loses the line.
namespace sim::launcher {

void LogDefault(std::string_view message);
void LogError(std::string_view message);

}  // namespace sim::launcher
