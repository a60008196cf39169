#pragma once

#include "sim/tools/asr_arguments.h"
#include "sim/tools/asr_run.h"

namespace sim::tools {

// asr restore -s IMAGE -t /dev/PARTITION --erase --noprompt --puppetstrings --noverify
//
// Puts the one HFS+ volume of a disk image (the recovery system's Base System image) onto a
// partition of a physical disk: whatever the partition held (a volume, an APFS container) is
// replaced by a new HFS+ volume with the image volume's name and a new UUID, holding a copy
// of the image volume's files; it is mounted at its default place afterwards, as the real
// tool leaves a restored volume. Progress follows the copy onto the partition (the image's
// files are unpacked into the machine's scratch space first and copied from there).
//
// Refused before anything changes: an image that cannot be read or does not hold exactly one
// HFS+ volume, a target that is not a partition, that holds the running system, a mounted
// volume another process uses or an attached image's file, that another tool works on, or
// that is smaller than the volume's data. While copying, the partition is claimed busy
// (busy_disks.h). A failed copy leaves the new volume empty and unmounted.
//
// Returns the exit status.
int RunImageRestore(AsrRun& run, const ImageRestoreRequest& request);

}  // namespace sim::tools
