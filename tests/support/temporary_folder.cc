#include "tests/support/temporary_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/foundation/system_path.h"

namespace testing {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dorvane-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = mcom::FilePath(pattern);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  // Make every folder writable again first, so that tests that take rights away leave
  // nothing behind.
  for (auto it = std::filesystem::recursive_directory_iterator(path_.string(), ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_.string(), ignored);
}

mcom::FilePath TemporaryFolder::WriteFile(const std::string& relative,
                                          const std::string& contents) const {
  const mcom::FilePath path = path_.Join(relative);
  std::filesystem::create_directories(std::filesystem::path(path.string()).parent_path());
  std::ofstream(path.string(), std::ios::binary) << contents;
  return path;
}

std::string TemporaryFolder::ReadFile(const mcom::FilePath& path) {
  std::ifstream file(path.string(), std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

TemporaryMachineRoot::TemporaryMachineRoot() : previous_root_(mcom::SystemRoot()) {
  mcom::SetSystemRoot(path());
}

TemporaryMachineRoot::~TemporaryMachineRoot() { mcom::SetSystemRoot(previous_root_); }

}  // namespace testing
