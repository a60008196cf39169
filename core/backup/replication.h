#pragma once

// Replication of one APFS container into another with /usr/sbin/asr in replication mode.
// It needs root: in normal use it runs inside the helper, which streams the progress back;
// in the recovery environment the application runs it itself.
//
// A replication is one run of the tool for the whole container, or one run per volume group
// when the container holds several groups (asr replicates one group at a time). Progress of
// all runs is folded into one fraction that only rises, plus a "Replicating (n/m)…" text each
// time the tool starts on a further volume.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/progress.h"
#include "core/discovery/apfs_volume_info.h"
#include "core/foundation/disk_name.h"

// One run of the tool: the volume (group) it starts from and how many volumes it covers.
struct ReplicationPass {
  std::string source_volume_uuid;
  uint64_t volume_count = 0;
};

// What a replication will do, worked out from the source's volumes.
struct ReplicationPlan {
  std::vector<ReplicationPass> passes;
  bool whole_container = false;         // fewer than two passes: one run copies everything
  uint64_t total = 0;                   // volumes the tool will announce over all runs
  std::vector<mcom::DiskName> remount;  // source volumes to mount again afterwards
};

// Groups the volumes by volume group (volumes without a group first, then the groups in
// byte order of their UUIDs), one pass per group (starting from its System volume, else its
// first) and one per volume that has neither group nor role. When that makes two passes or
// more, every volume without a group gets a pass of its own, with or without a role, so that
// every volume is copied by some run. With fewer than two passes the whole container is
// copied in one run instead. The total counts the volumes of the planned passes. Volumes
// without a role, or with role System or Data, are remounted afterwards.
ReplicationPlan PlanReplication(const std::vector<APFSVolumeInfo>& volumes);

// The progress state shared by all runs of one replication.
class ReplicationProgress {
 public:
  ReplicationProgress(uint64_t total, ProgressCallback callback)
      : total_(total), callback_(std::move(callback)) {}

  // The tool started on a further volume, `fraction` of which is done: counts it (growing the
  // total when the tool announces more volumes than planned), reports the fraction, then
  // "Replicating (n/m)…".
  void StartVolume(double fraction);
  // A fraction of the current volume: reported as (volumes done + fraction) / total, but
  // never less than the fraction reported before (after the total grew) nor more than 1.
  // Dropped before the first volume has started.
  void Fraction(double fraction);
  void Text(std::string text);

  std::optional<uint64_t> current_pass() const { return current_pass_; }

 private:
  uint64_t total_;
  ProgressCallback callback_;
  std::optional<uint64_t> current_pass_;
  double reported_ = 0;
};

// Reads the tool's "--puppetstrings" output one line at a time: progress lines are turned into
// updates, everything unrecognised is collected for the error message.
class ReplicationOutput {
 public:
  explicit ReplicationOutput(ReplicationProgress& progress) : progress_(progress) {}
  void HandleLine(const std::string& line);
  // The unrecognised lines, joined with ": ".
  const std::string& collected() const { return collected_; }

 private:
  ReplicationProgress& progress_;
  std::string collected_;
};

// The tool's arguments for one run.
std::vector<std::string> ReplicationArguments(mcom::DiskName source,
                                              const std::optional<std::string>& volume_uuid,
                                              mcom::DiskName target, bool erase);

// One run of the tool. Throws Error("ReplicateContainer", ...) when it cannot be started or
// fails (the message is then its unrecognised output, or "asr exited with status N" when it
// printed none), and when an interruption was received before it started. An interruption
// during the run stops the tool (interruption.h), which then fails.
void RunReplicationPass(mcom::DiskName source, const std::optional<std::string>& volume_uuid,
                        mcom::DiskName target, bool erase, ReplicationProgress& progress);

// Replicates every volume of `source` into `target` (erasing it first), then mounts the
// source's volumes again. Throws Error on the first failed run; later runs are not made and
// nothing is remounted then.
void ReplicateContainer(APFSContainerName source, APFSContainerName target,
                        ProgressCallback progress);
