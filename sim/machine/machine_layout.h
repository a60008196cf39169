#pragma once

#include <string>
#include <vector>

#include "core/foundation/file_path.h"

namespace sim {

// The macOS paths at which the disk tools are installed ("/usr/bin/hdiutil", ...), each a
// name of the one multi-call `simtool` executable.
const std::vector<std::string>& ToolPaths();

// Lays out a new machine root like a Mac's:
//
//   Applications/  Library/{Application Support/com.apple.TCC,LaunchDaemons,Preferences,
//                           PrivilegedHelperTools,Logs}
//   System/Library/CoreServices/  System/Volumes/Data/  Users/Shared/  Volumes/
//   private/{etc,tmp,var/{log,run,root,db}}  tmp -> private/tmp  var -> private/var
//   etc -> private/etc  usr/bin  usr/sbin  sbin
//   private/var/log/system.log   (empty, mode 0666, so that every process can append)
//   private/var/db/macsim/{volumes,images,facts}   (the state folder, machine_paths.h)
//
// private/tmp gets mode 01777 like the Mac's. `root` is made when missing; it must be empty
// otherwise. Throws MachineError when the root is not empty or a folder cannot be made.
void CreateMachineLayout(const mcom::FilePath& root);

// Whether `root` holds a machine: its state folder has a machine.plist.
bool IsMachineRoot(const mcom::FilePath& root);

// Throws MachineError ("not a machine root: PATH") unless IsMachineRoot(root).
void CheckMachineRoot(const mcom::FilePath& root);

}  // namespace sim
