#pragma once

#include "core/foundation/file_path.h"

namespace sim {

// Installs the disk tools into a new machine: the multi-call `simtool` executable at
// `simtool` is hard-linked (copied, with its mode, when linking fails, for example across
// file systems) at every path of ToolPaths() under `root`, so each tool finds the
// machine's root from its own path. Does nothing when there is no file at `simtool` (the
// tools are built separately). Throws MachineError when a tool cannot be installed.
void InstallTools(const mcom::FilePath& root, const mcom::FilePath& simtool);

}  // namespace sim
