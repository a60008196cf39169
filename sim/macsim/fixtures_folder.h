#pragma once

#include <string>

#include "core/foundation/file_path.h"

namespace macsim {

// The folder of machine fixtures: `option` when it is not empty, else the "machines" folder
// next to the running executable (where the build puts sim/machines). Throws
// sim::MachineError when the folder does not exist.
mcom::FilePath FindFixturesFolder(const std::string& option);

// The folder of the running executable (from /proc/self/exe).
mcom::FilePath ExecutableFolder();

}  // namespace macsim
