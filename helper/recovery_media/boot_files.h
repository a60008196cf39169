#pragma once

// The boot folder of a recovery disk for a Mac without a T2 controller:
// "com.halvex-software.recovery" on the Recovery partition holds a customised, compressed
// copy of the Base System image, the boot loader, the kernel cache and a boot configuration
// that points the kernel at the image; the folder is then blessed.

#include "core/discovery/mounted_volume.h"
#include "core/recovery/recovery_source.h"
#include "helper/recovery_media/recovery_media.h"

inline constexpr char kRecoveryBootFolder[] = "com.halvex-software.recovery";

// Fills the boot folder on `target` from `source` and blesses it. Throws std::system_error;
// what was written before a failure stays.
void InstallBootFiles(const RecoverySource& source,
                      const mcom::disk_arbitration::MountedVolume& target,
                      CustomizeCallback customize, RecoveryProgressCallback progress);
