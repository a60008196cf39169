#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/machine/model.h"

namespace sim {

// The settings `macsim set ROOT KEY VALUE` changes:
//   full-disk-access yes|no          whether processes of the machine have Full Disk Access
//   administrator-approves yes|no    whether an administrator approves authorization requests
//   recovery-environment yes|no      whether the machine runs its recovery system
//   product-version X                the system version (SystemVersion.plist of new volumes
//   build-version X                  and the facts tools report)
//   fault.<tool>.<verb> VALUE        a fault-injection hook for a disk tool ("fault.hdiutil.create
//                                    fail"); an empty VALUE clears it
// Throws MachineError ("unknown setting: KEY", "full-disk-access takes yes or no") for
// anything else; the model is unchanged then.
void ApplySetting(Model& model, std::string_view key, std::string_view value);

// The setting keys above (the fault keys as "fault.<tool>.<verb>"), for help texts.
const std::vector<std::string>& SettingKeys();

}  // namespace sim
