#pragma once

#include <string>

#include "platform/disk_arbitration/da_disk.h"
#include "platform/disk_arbitration/da_session.h"

// The part of the private disk-management framework (DiskManagement.framework) that the
// recovery search uses: a manager that, given a disk-arbitration session, names the recovery
// disk of a disk, and the text of its error codes.
//
// On Linux the manager answers from the simulated Mac: the recovery disk of an APFS volume
// (or of its container) is the first volume of that container whose role is Recovery. A disk
// that is no APFS volume or container, or a container without a Recovery volume, gives an
// error code.
namespace platform {

// Error codes of copyRecoveryDiskForDisk:error:.
inline constexpr int kDMErrorNoSuchDisk = -69808;
inline constexpr int kDMErrorNoRecoveryDisk = -69832;

class DMManager {
 public:
  DMManager() = default;
  ~DMManager();
  DMManager(const DMManager&) = delete;
  DMManager& operator=(const DMManager&) = delete;

  // setDefaultDASession:. The manager keeps a reference to `session` (may be null).
  void SetDefaultDASession(DASessionRef session);

  // copyRecoveryDiskForDisk:error:. Returns the recovery disk with one reference for the
  // caller, or null with an error code in `error` (may be null): no session, a disk without a
  // BSD name or unknown to the machine, or no recovery volume.
  DADiskRef CopyRecoveryDiskForDisk(DADiskRef disk, int* error) const;

 private:
  DASessionRef session_ = nullptr;
};

// DMLocalizedUserErrorString: the text of a manager's error code; a generic text for codes it
// does not know.
std::string DMLocalizedUserErrorString(int code);

}  // namespace platform
