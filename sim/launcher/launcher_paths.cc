#include "sim/launcher/launcher_paths.h"

namespace sim::launcher {

mcom::FilePath LaunchDaemonsFolder(const mcom::FilePath& root) {
  return root.Join("Library/LaunchDaemons");
}

mcom::FilePath PidFilePath(const mcom::FilePath& root) {
  return root.Join("private/var/run/launchd.pid");
}

mcom::FilePath JobStatusPath(const mcom::FilePath& root) {
  return root.Join("private/var/run/launchd.jobs.plist");
}

mcom::FilePath ServiceSocketPath(const mcom::FilePath& root, const std::string& name) {
  return root.Join("private/var/run/bootstrap").Join(name);
}

}  // namespace sim::launcher
