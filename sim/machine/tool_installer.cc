#include "sim/machine/tool_installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/foundation/file_tree.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"

namespace sim {

void InstallTools(const mcom::FilePath& root, const mcom::FilePath& simtool) {
  struct stat status {};
  if (::stat(simtool.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  for (const std::string& tool : ToolPaths()) {
    const mcom::FilePath destination = root.Join(tool.substr(1));
    if (::link(simtool.c_str(), destination.c_str()) == 0) continue;
    const int link_error = errno;
    if (std::error_code error = mcom::CopyTree(simtool, destination)) {
      throw MachineError("cannot install " + tool + ": " + std::strerror(link_error) +
                         "; copying failed too: " + error.message());
    }
  }
}

}  // namespace sim
