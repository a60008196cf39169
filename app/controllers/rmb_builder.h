#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/controllers/platform_error.h"
#include "app/controllers/progress.h"
#include "app/model/disk_name.h"
#include "core/discovery/disk_arbitration.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/file_path.h"

// What the recovery-disk window works with: the external media it can build a recovery disk
// on, as they come and go, and the build itself.
namespace app {

// A whole, writable medium the recovery disk can be built on.
struct RMBTargetMedia {
  DiskName diskName;
  std::string name;  // the media name
  int64_t size = 0;  // bytes
  std::optional<mcom::FilePath> iconURL;

  friend bool operator==(const RMBTargetMedia&, const RMBTargetMedia&) = default;
};

// name + " (" + the size in the file-size style + ")".
std::string DisplayText(const RMBTargetMedia& media);

struct RMBTargetMediaChange {
  struct Insertion {
    RMBTargetMedia media;
  };
  struct Update {
    RMBTargetMedia media;
  };
  struct Removal {
    DiskName diskName;
  };
  std::variant<Insertion, Update, Removal> change;
};

// Reports media while it exists; releasing it ends the reports.
class RMBMediaMonitor {
 public:
  virtual ~RMBMediaMonitor() = default;
};

class RMBBuilder {
 public:
  // Called once, on a thread of the build, with the build's error or none.
  using Completion = std::function<void(const std::optional<PlatformError>&)>;
  using MediaChanged = std::function<void(const RMBTargetMediaChange&)>;

  virtual ~RMBBuilder() = default;
  // Starts building a recovery disk on `target` and returns its progress at once.
  virtual std::shared_ptr<Progress> build(const DiskName& target, Completion completion) const = 0;
  virtual std::unique_ptr<RMBMediaMonitor> mediaMonitor(MediaChanged changed) const = 0;
};

class RealRMBBuilder : public RMBBuilder {
 public:
  // Builds through the build-recovery bridge on a global queue, with a progress of 100 units.
  std::shared_ptr<Progress> build(const DiskName& target, Completion completion) const override;
  // A DiskArbitrationRMBTargetMonitor on the main queue; internal media only when the user
  // default "RMBShowInternal" is true.
  std::unique_ptr<RMBMediaMonitor> mediaMonitor(MediaChanged changed) const override;
};

// The whole, writable media disk arbitration knows (external ones only unless
// `show_internal`), attached disk images left out: each reported as inserted when it
// appears, updated when it appears again with other values, removed when it goes. Reports
// arrive on `queue`. The destructor returns once no report is under way.
class DiskArbitrationRMBTargetMonitor final : public RMBMediaMonitor {
 public:
  DiskArbitrationRMBTargetMonitor(RMBBuilder::MediaChanged changed, bool show_internal,
                                  const mcom::DispatchQueue& queue);
  ~DiskArbitrationRMBTargetMonitor() override;
  DiskArbitrationRMBTargetMonitor(const DiskArbitrationRMBTargetMonitor&) = delete;
  DiskArbitrationRMBTargetMonitor& operator=(const DiskArbitrationRMBTargetMonitor&) = delete;

 private:
  static void Appeared(platform::DADiskRef disk, void* context);
  static void Disappeared(platform::DADiskRef disk, void* context);

  mcom::disk_arbitration::Session session_;
  RMBBuilder::MediaChanged changed_;
  std::vector<RMBTargetMedia> medias_;  // touched only on the session's queue
};

}  // namespace app
