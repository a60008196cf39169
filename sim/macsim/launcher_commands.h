#pragma once

#include "core/foundation/file_path.h"

// The commands of `macsim` that run and end a machine's launcher (sim/launcher), the
// simlaunchd beside macsim. They throw sim::MachineError with a one-line message on failure,
// as the other commands do (macsim_commands.h).
namespace macsim {

// macsim start ROOT: starts the launcher detached (a session of its own, the standard streams
// on /dev/null) and returns once every service of its jobs listens, printing the launcher's
// pid. Refuses when a launcher already runs for the machine; a launcher that cannot start is
// reported with its reason.
void StartCommand(const mcom::FilePath& root);

// macsim stop ROOT: sends the launcher SIGTERM and waits until it and its jobs are gone.
// Without a running launcher it says so and succeeds.
void StopCommand(const mcom::FilePath& root);

}  // namespace macsim
