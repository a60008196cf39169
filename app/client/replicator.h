#pragma once

#include <string>

#include "core/backup/progress.h"

// The ReplicatorFunction the backup and restore pipelines are given. In the recovery
// environment it replicates in this process, which runs as root there; everywhere else it
// asks the privileged helper (GetHelperSession), whose progress arrives as the callback's.
class Replicator {
 public:
  // `operation` names the errors: "PerformBackup" or "PerformRestore".
  explicit Replicator(std::string operation) : operation_(std::move(operation)) {}

  void operator()(APFSContainerName source, APFSContainerName target,
                  ProgressCallback progress) const;

 private:
  std::string operation_;
};
