#pragma once

// The recovery-disk builder: erases and partitions an external disk, installs the Mac's own
// recovery system on its Recovery partition with the application added to it, and reports
// progress as it goes.
//
// Two variants, chosen by whether the Mac has a T2 controller: with one, the Base System
// image is restored onto the Recovery partition, which then starts like any Base System
// volume; without one, a customised copy of the image is placed in a blessed boot folder
// beside the boot loader and the kernel cache (boot_files.h).

#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// A fraction of the current step (0.0 to 1.0), or the title of a step that begins.
using RecoveryProgress = std::variant<double, std::string_view>;
using RecoveryProgressCallback = std::function<void(RecoveryProgress)>;

// Changes the content of a mounted Base System whose root is given; fails with a non-zero
// code or by throwing.
using CustomizeCallback = std::function<std::error_code(const mcom::FilePath&)>;

// Whether this Mac has an "Apple T2 Controller"; asked once per process.
bool HasT2Controller();

// Refuses, before anything changes, a target the builder must never erase: a name that is
// not a whole disk of this Mac, the whole disk of the running system, or the disk that holds
// the recovery system the build installs from. Throws Error("BuildRecovery", reason naming
// the disk). A Mac without a recovery system is refused too (with the text of ENOENT, as the
// build itself would fail), so that nothing is erased for a build that cannot succeed.
void CheckRecoveryTarget(mcom::DiskName target);

// Unmounts everything on the whole disk `target` ("disk4"), partitions it (EFI, "Recovery",
// "User Data"), finds the new Recovery partition in the disk's listing and installs the
// recovery system there. 0 on success; a tool's or a step's code otherwise (the step's
// own words are logged).
std::error_code BuildRecoveryMedia(const char* target, CustomizeCallback customize,
                                   RecoveryProgressCallback progress);

// Installs the recovery system on the partition `partition` ("disk4s2").
std::error_code InstallRecoveryPartition(const char* partition, CustomizeCallback customize,
                                         RecoveryProgressCallback progress);

namespace recovery_media_internal {

// The functions above with the variant given, so that one process can build both (tests).
std::error_code BuildRecoveryMedia(const char* target, bool t2, CustomizeCallback customize,
                                   RecoveryProgressCallback progress);
std::error_code InstallRecoveryPartition(const char* partition, bool t2,
                                         CustomizeCallback customize,
                                         RecoveryProgressCallback progress);

// The BSD name of the partition named "Recovery" on `target` in a "diskutil list -plist"
// listing. Throws std::system_error (EINVAL) with the reason when it has none.
std::string RecoveryPartitionInListing(const std::vector<char>& listing, const char* target);

}  // namespace recovery_media_internal
