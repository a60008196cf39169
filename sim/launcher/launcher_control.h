#pragma once

#include "core/foundation/file_path.h"

namespace sim::launcher {

// Makes the launcher running for `root` read its jobs again (SIGHUP: new ones loaded,
// removed and changed ones stopped and unloaded) and returns once it has. Throws
// MachineError when no launcher runs for `root` or it has not reloaded after 30 s.
void ReloadLauncher(const mcom::FilePath& root);

}  // namespace sim::launcher
