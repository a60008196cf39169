#include "core/foundation/temporary_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/foundation/file_tree.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"

namespace mcom {

Result<FilePath> MakeTemporaryDirectory() {
  std::string pattern = SystemPath("/tmp/.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return LastError();
  return FilePath(std::move(pattern));
}

Result<DirectoryHandle> MakeAndOpenTemporaryDirectory() {
  Result<FilePath> path = MakeTemporaryDirectory();
  if (!path) return path.error();
  const int fd =
      RetryOnInterrupt([&] { return ::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) {
    const std::error_code error = LastError();
    (void)RemoveDirectory(*path);  // still empty: nobody else knows its name yet
    return error;
  }
  return DirectoryHandle(fd, true);
}

}  // namespace mcom
