#include "platform/disk_management/dm_manager.h"

#if !defined(__linux__)
#error "dm_manager_linux.cc is the Linux stand-in of the disk-management framework"
#endif

#include <optional>

#include "platform/disk_arbitration/da_internal_linux.h"
#include "platform/disk_arbitration/disk_arbitration.h"
#include "platform/disk_arbitration/machine_disks_linux.h"
#include "sim/machine/model.h"

namespace platform {

DMManager::~DMManager() {
  if (session_ != nullptr) CFRelease(session_);
}

void DMManager::SetDefaultDASession(DASessionRef session) {
  if (session != nullptr) CFRetain(session);
  if (session_ != nullptr) CFRelease(session_);
  session_ = session;
}

DADiskRef DMManager::CopyRecoveryDiskForDisk(DADiskRef disk, int* error) const {
  const auto fail = [error](int code) -> DADiskRef {
    if (error != nullptr) *error = code;
    return nullptr;
  };
  if (session_ == nullptr || disk == nullptr || !disk->bsd_name) return fail(kDMErrorNoSuchDisk);
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(*disk->bsd_name);
  const std::optional<sim::Model> model = da_internal::ReadMachine(session_->state->root());
  if (!name || !model) return fail(kDMErrorNoSuchDisk);
  // A volume's container has the volume's disk number; a container is named by it.
  if (sim::FindContainer(*model, name->disk) == nullptr) return fail(kDMErrorNoSuchDisk);
  for (const sim::Volume* volume : sim::VolumesOfContainer(*model, name->disk)) {
    if (volume->HasRole("Recovery")) {
      if (error != nullptr) *error = 0;
      return da_internal::MakeDisk(session_->state, mcom::FormatDiskName(volume->disk));
    }
  }
  return fail(kDMErrorNoRecoveryDisk);
}

std::string DMLocalizedUserErrorString(int code) {
  switch (code) {
    case kDMErrorNoSuchDisk:
      return "The disk could not be found.";
    case kDMErrorNoRecoveryDisk:
      return "No recovery disk was found for the disk.";
    default:
      return "An unknown disk management error occurred (" + std::to_string(code) + ").";
  }
}

}  // namespace platform
