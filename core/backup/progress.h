#pragma once

#include <functional>
#include <string>
#include <variant>

#include "core/foundation/disk_name.h"

// Progress of a long operation: a fraction of the work done (0.0 to 1.0, index 0) or a line
// of status text (index 1).
using ProgressUpdate = std::variant<double, std::string>;

// Receives progress updates, on the thread that does the work.
using ProgressCallback = std::function<void(ProgressUpdate)>;

// Replicates every volume of the source container into the target container, reporting
// through the callback. The backup and restore pipelines hand the root-only replication to
// whoever can do it: the helper, or this process in the recovery environment. Throws Error.
using ReplicatorFunction =
    std::function<void(APFSContainerName source, APFSContainerName target, ProgressCallback)>;
