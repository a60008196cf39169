#pragma once

#include <string>

#include "core/backup/progress.h"

// The ReplicatorFunction the backup and restore pipelines are given. In the recovery
// environment it replicates in this process, which runs as root there. Everywhere else the
// replication is the privileged helper's; this build has no helper yet, so it fails there
// with an Error named after the operation.
class Replicator {
 public:
  // `operation` names the errors: "PerformBackup" or "PerformRestore".
  explicit Replicator(std::string operation) : operation_(std::move(operation)) {}

  void operator()(APFSContainerName source, APFSContainerName target,
                  ProgressCallback progress) const;

 private:
  std::string operation_;
};

// The message of the Error a Replicator throws outside the recovery environment.
inline constexpr char kReplicationNeedsHelper[] =
    "replication needs the privileged helper, which this build does not have yet";
