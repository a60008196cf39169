#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/foundation/disk_name.h"

// How an image is attached: bit 0 read-only (else read-write), bit 1 mount its file systems
// (else attach without mounting).
enum AttachMode : unsigned {
  kAttachReadWrite = 0,
  kAttachReadOnly = 1 << 0,
  kAttachMount = 1 << 1,
};

// Runs the callable it holds when destroyed (a guard without one does nothing). Never throws.
class DetachGuard {
 public:
  explicit DetachGuard(std::function<void()> detach) : detach_(std::move(detach)) {}
  ~DetachGuard();
  DetachGuard(const DetachGuard&) = delete;
  DetachGuard& operator=(const DetachGuard&) = delete;

  // The image has been detached otherwise: nothing is left to do on destruction.
  void Dismiss() { detach_ = nullptr; }

 private:
  std::function<void()> detach_;
};

// An attached disk image. It stays attached exactly as long as this object lives: destroying
// it detaches the image ("hdiutil detach -force"), best effort, as the clean-up of a failed
// step (a busy image is tried again for a few seconds). Where the outcome matters (a backup is
// complete only once its image is detached and written), DetachImage (image_tools.h) detaches
// it and reports a failure. Movable, not copyable.
struct AttachedImage {
  mcom::DiskName disk;                     // the image's whole disk
  std::unique_ptr<DetachGuard> detach;     // detaches the disk when destroyed
  std::optional<std::string> mount_point;  // present when the tool reported one
};
