#pragma once

#include "sim/tools/asr_arguments.h"
#include "sim/tools/asr_run.h"

namespace sim::tools {

// asr restore -s /dev/SRC -t /dev/DST --useReplication --puppetstrings --noprompt
//             [--sourcevolumeUUID UUID] [--erase]
//
// Replicates the APFS container SRC into the APFS container DST: every volume of SRC in
// slice order, or with --sourcevolumeUUID the volume group of that volume (all volumes
// sharing its group; the volume alone when it has none). Each copied volume becomes a new
// volume of DST with the same name and roles, a new UUID, and a new group UUID shared by the
// copies of one source group; its files are copied one by one with their metadata and its
// "Used" size measured. --erase first removes DST's volumes; without it the copies are added.
//
// Mounted source volumes are unmounted first (the running system's stay; they are read in
// place), as the caller remounts what it needs; the copies are left unmounted. DST's mounted
// volumes are unmounted before --erase removes them, unless another process uses them.
// While copying, mounts of the copied source volumes and of DST are refused (mount blockers
// of this process), and DST is claimed busy (busy_disks.h): a second restore onto it, or a
// tool that would erase, repartition or unmount it or its physical disk, is refused with
// "Resource busy" until this run ends, however it ends.
//
// Refused before anything changes: a source that is missing or not a container, an unknown
// volume UUID, a target that is missing, not a container, the source itself or the running
// system's, a target another tool works on, a mounted target volume in use by another
// process or one holding an attached image's file (with --erase), a target too small for
// the source volumes' data. A copy that fails removes its half-made volume,
// remounts the source volumes this run unmounted, and leaves the volumes copied before it.
//
// Returns the exit status.
int RunReplication(AsrRun& run, const ReplicationRequest& request);

}  // namespace sim::tools
