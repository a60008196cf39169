#include "app/client/replicator.h"

#include "app/client/helper_session.h"
#include "app/client/recovery_environment.h"
#include "core/backup/replication.h"
#include "core/foundation/error.h"
#include "transport/message_catalogue.h"
#include "transport/run_with_progress.h"

void Replicator::operator()(APFSContainerName source, APFSContainerName target,
                            ProgressCallback progress) const {
  if (IsRunningInRecoveryEnvironment()) {
    ReplicateContainer(source, target, std::move(progress));
    return;
  }
  mach::RunWithProgress(&GetHelperSession, operation_, mach::kReplicateContainerId, progress,
                        source, target);
}
