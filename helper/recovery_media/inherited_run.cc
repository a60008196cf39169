#include "helper/recovery_media/inherited_run.h"

#include "core/foundation/process.h"
#include "core/foundation/system_path.h"

namespace recovery_media_internal {

std::error_code RunInherited(const char* tool, const std::vector<std::string>& arguments) {
  const mcom::FileActions actions;
  const mcom::Result<pid_t> pid =
      mcom::SpawnProcess(mcom::SystemPath(tool).c_str(), arguments, actions);
  if (!pid) throw std::system_error(pid.error());
  return mcom::WaitForProcess(*pid);
}

}  // namespace recovery_media_internal
