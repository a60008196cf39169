#include "core/foundation/full_disk_access.h"

#include <cerrno>

#include "core/foundation/extended_attributes.h"
#include "core/foundation/full_disk_access_internal.h"
#include "core/foundation/system_path.h"

namespace mcom {
namespace internal {

bool AccessFromProbeResult(std::error_code error) { return error.value() != EPERM; }

}  // namespace internal

bool HasFullDiskAccess() {
  // The privacy database's folder is readable only with Full Disk Access; reading one of its
  // attributes asks the system without needing the attribute to exist.
  const FilePath protected_folder = SystemPath("/Library/Application Support/com.apple.TCC");
  return internal::AccessFromProbeResult(
      ReadExtendedAttribute(protected_folder, "com.apple.rootless").error());
}

}  // namespace mcom
