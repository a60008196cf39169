#include "app/client/replicator.h"

#include "app/client/recovery_environment.h"
#include "core/backup/replication.h"
#include "core/foundation/error.h"

void Replicator::operator()(APFSContainerName source, APFSContainerName target,
                            ProgressCallback progress) const {
  if (!IsRunningInRecoveryEnvironment()) throw Error(operation_, kReplicationNeedsHelper);
  ReplicateContainer(source, target, std::move(progress));
}
