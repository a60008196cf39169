#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "sim/machine/model.h"

// Mount blockers: a process registers that mounts of one disk must be refused for as long
// as it lives (the disk-arbitration mount approval of a blocker). They are machine-wide, so
// a mount by any process honours them. A blocker of a process that has exited is ignored at
// once and dropped from the model by the next change.
//
// Busy claims are kept the same way: a process that works on a disk claims it, and the tools
// refuse to change what the claim covers while the process lives (busy_disks.h says which
// changes). A tool that is killed never leaves a disk busy: its claim dies with it.
namespace sim {

// Whether process `pid` exists (kill with signal 0; a process of another user counts).
bool IsProcessAlive(pid_t pid);

// Registers a blocker of `pid` for `bsd_name` ("disk2"); registering the same pair twice
// keeps one entry. Throws MachineError for a name that is not a disk name.
void AddBlocker(Model& model, pid_t pid, std::string_view bsd_name);

// Removes the blocker of `pid` for `bsd_name`; nothing happens when there is none.
void RemoveBlocker(Model& model, pid_t pid, std::string_view bsd_name);

// The live blocker that refuses a mount of `name`: one registered for the name itself or
// for its whole disk (a blocker of disk2 refuses disk2 and disk2s1, not disk3s1).
std::optional<Blocker> FindBlocker(const Model& model, mcom::DiskName name);

// Registers a busy claim of `pid` on `bsd_name` ("disk4", "disk2s2"), once per pair. Throws
// MachineError for a name that is not a disk name.
void AddClaim(Model& model, pid_t pid, std::string_view bsd_name);

// Removes the claim of `pid` on `bsd_name`; nothing happens when there is none.
void RemoveClaim(Model& model, pid_t pid, std::string_view bsd_name);

// Drops the blockers and claims whose processes have exited.
void DropDeadBlockers(Model& model);

}  // namespace sim
