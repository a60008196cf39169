#include "sim/machine/scratch_folder.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "core/foundation/file_tree.h"
#include "sim/machine/machine_paths.h"

namespace sim {

ScratchFolder::ScratchFolder(const mcom::FilePath& root, const std::string& prefix) {
  std::string pattern = ImagesFolder(root).Join(prefix + "-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category());
  path_ = mcom::FilePath(pattern);
}

ScratchFolder::~ScratchFolder() { (void)mcom::RemoveRecursively(path_); }

}  // namespace sim
