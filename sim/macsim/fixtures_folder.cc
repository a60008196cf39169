#include "sim/macsim/fixtures_folder.h"

#include <sys/stat.h>

#include <filesystem>

#include "sim/machine/machine_error.h"

namespace macsim {

mcom::FilePath ExecutableFolder() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw sim::MachineError("cannot find the running executable: " + error.message());
  return mcom::FilePath(executable.parent_path().string());
}

mcom::FilePath FindFixturesFolder(const std::string& option) {
  const mcom::FilePath folder =
      option.empty() ? ExecutableFolder().Join("machines") : mcom::FilePath(option);
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    throw sim::MachineError("no machine fixtures folder at " + folder.string() +
                            " (give one with --machines)");
  }
  return folder;
}

}  // namespace macsim
