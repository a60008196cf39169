#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/discovery/disk_arbitration.h"
#include "core/foundation/optional.h"

namespace mcom::disk_arbitration {

// Decides about one mount: an empty value approves it, a dissenter refuses it.
using MountApprovalBlock = std::function<Optional<Dissenter>(const Disk* disk)>;

// A registration that vetoes mounts for as long as it lives. It retains its session and a
// copy of the block; destroying it unregisters the block (waiting for a call of it that is
// under way on another thread) and releases both. The block runs on the session's queue,
// and only while the session is scheduled.
//
// On Linux the service asks a registered block about the mounts requested through this
// process's sessions. A blocker registration also makes the machine refuse the disk to every
// process while this one lives (platform/disk_arbitration/disk_arbitration.h).
//
// Move-only; a moved-from registration does nothing on destruction.
class MountApproval {
 public:
  // Asks `block` about every disk the service is about to mount.
  static MountApproval Register(const Session& session, MountApprovalBlock block);

  // Refuses (kDAReturnBusy, no text) every mount of the disk `bsd_name` ("disk2") and of every
  // disk whose whole disk it is (disk2s1), and approves all others (disk3s1, even when disk3
  // is a container on disk2).
  static MountApproval RegisterBlocker(const Session& session, const std::string& bsd_name);

  ~MountApproval();
  MountApproval(MountApproval&& other) noexcept;
  MountApproval& operator=(MountApproval&& other) noexcept;
  MountApproval(const MountApproval&) = delete;
  MountApproval& operator=(const MountApproval&) = delete;

 private:
  struct Registration;
  explicit MountApproval(std::unique_ptr<Registration> registration);
  void Unregister();

  std::unique_ptr<Registration> registration_;
};

// The block of a blocker registration for `bsd_name` (see RegisterBlocker).
MountApprovalBlock MountBlockerBlock(std::string bsd_name);

}  // namespace mcom::disk_arbitration
