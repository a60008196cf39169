// Fuzz target for the builder's reading of "diskutil list -plist" after it partitioned the
// target disk2. For any listing: no crash, a refusal only as EINVAL, and a partition found
// only when it is a slice of disk2.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/disk_name.h"
#include "helper/recovery_media/recovery_media.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> listing(data, data + size);
  try {
    const std::string partition =
        recovery_media_internal::RecoveryPartitionInListing(listing, "/dev/disk2");
    const std::optional<mcom::DiskName> name = mcom::ParseDiskName(partition);
    if (!name || name->disk != 2 || !name->has_slice()) std::abort();
  } catch (const std::system_error& refusal) {
    if (refusal.code() != std::errc::invalid_argument) std::abort();
  }
  return 0;
}
