#pragma once

// The diagnostic bundle for support: the helper, running as root, runs the system's
// inspection tools, copies the system's own logs, exports the system log and packs it all
// into one zip archive, which goes back to the caller as an open descriptor.

#include <string>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "transport/promise.h"

namespace helper {

// Collects into a new work directory "/tmp/.XXXXXX" (under the machine root) and sets the
// promise with a read-only descriptor of the archive, whose directory entry is already
// gone. A failure of the work directory, of `log collect`, of `ditto` or of opening the
// archive is logged, removes the work directory and leaves the promise unset. The tools
// run one after another; the call blocks for the whole collection.
void CollectLogs(const mach::Promise<mcom::File>& promise);

// Runs `program` (a macOS path, resolved under the machine root) with its standard output
// appended to `output` (created with mode 0644 when missing; standard error inherited) and
// waits for it. Every failure is only logged: an output file that cannot be opened, a tool
// that cannot be started, a non-zero exit status or the number of the signal that ended it.
void RunAndSaveOutput(const char* program, const std::vector<std::string>& arguments,
                      const mcom::FilePath& output);

}  // namespace helper
