#pragma once

#include <string>

#include "core/foundation/file_path.h"

namespace sim {

// A folder of its own in the machine's scratch space for images ("PREFIX-XXXXXX"), removed
// with its contents when the object goes.
class ScratchFolder {
 public:
  // Throws std::system_error with mkdtemp's errno when the folder cannot be made.
  ScratchFolder(const mcom::FilePath& root, const std::string& prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const mcom::FilePath& path() const { return path_; }

 private:
  mcom::FilePath path_;
};

}  // namespace sim
