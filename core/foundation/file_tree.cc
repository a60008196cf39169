#include "core/foundation/file_tree.h"

#include <unistd.h>

#include "core/foundation/log.h"
#include "platform/file_copy.h"
#include "platform/posix/posix_error.h"

namespace mcom {
namespace {

// The platform layer answers in the generic category; these operations answer in the system
// category, as the platform's own calls would.
std::error_code AsSystemError(std::error_code error) {
  if (!error) return {};
  return std::error_code(error.value(), std::system_category());
}

}  // namespace

std::error_code RemoveDirectory(const FilePath& path) {
  if (::rmdir(path.c_str()) != 0) {
    const int error = errno;
    log::Error("failed to remove directory %s: %{darwin.errno}d", path, error);
    return std::error_code(error, std::system_category());
  }
  log::Debug("did remove directory %s", path);
  return {};
}

std::error_code RemoveRecursively(const FilePath& path) {
  const std::error_code error = AsSystemError(platform::RemoveTree(path.c_str()));
  if (error) {
    log::Error("removefile recursive failed for %s: %{darwin.errno}d", path, error.value());
    return error;
  }
  log::Debug("did recursively remove %s", path);
  return {};
}

std::error_code CopyTree(const FilePath& source, const FilePath& destination) {
  return AsSystemError(platform::CopyTree(source.c_str(), destination.c_str()));
}

}  // namespace mcom
