#pragma once

#include <string>

#include "core/foundation/file_path.h"

namespace macsim {

// macsim boot ROOT [--from DISK]: restarts the machine from a disk, checked as the firmware
// checks it, and prints "started from DISK: VOLUME (diskNsM)".
//
// With --from DISK (a whole physical disk):
//  - without a T2 controller, the blessed folder (bless --folder) must lie on a volume of
//    DISK and hold "boot.efi" and a "com.apple.Boot.plist" whose "Kernel Flags" point
//    (rp=file:///PATH, from the volume's root) at a Base System image there. The image is
//    attached read-only and its volume runs;
//  - with one, DISK's "Recovery" partition must hold a Base System volume, which runs.
// A Base System runs in the recovery environment. Without --from the blessed start-up device
// (bless --device ... --setBoot) starts: the System volume of its container (of its volume
// group when it has one), which must hold SystemVersion.plist, runs outside the recovery
// environment; a Base System volume blessed so runs in it.
//
// A restart ends what the old system had: the machine's launcher must be stopped first, every
// attached image is detached (a writable one written back), the volumes mounted at given
// directories are unmounted, and a pending restart (reboot) is done. The new system is
// mounted at the machine's "/" view (sim/machine/root_view.h). A disk that would not start
// is refused with a one-line sim::MachineError before anything changes.
void BootCommand(const mcom::FilePath& root, const std::string& from);

}  // namespace macsim
