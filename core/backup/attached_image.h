#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/discovery/disk_name.h"

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

 private:
  std::function<void()> detach_;
};

// An attached disk image. It stays attached exactly as long as this object lives: destroying
// it detaches the image ("hdiutil detach -force"). Movable, not copyable.
struct AttachedImage {
  mcom::DiskName disk;                     // the image's whole disk
  std::unique_ptr<DetachGuard> detach;     // detaches the disk when destroyed
  std::optional<std::string> mount_point;  // present when the tool reported one
};
