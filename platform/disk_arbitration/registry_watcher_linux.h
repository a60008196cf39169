#pragma once

#include <memory>

#include "core/foundation/file_path.h"
#include "platform/dispatch/queue.h"

// Watches a simulated machine's registry file: internal to the Linux disk-arbitration
// stand-in, which reports appeared and disappeared disks from it.
namespace platform::da_internal {

class RegistryWatcher {
 public:
  // Starts watching the registry file of the machine at `root` (inotify on the machine's
  // state folder, where the file is replaced by a rename on every change): `changed` runs on
  // `queue` after each change of the file, several changes close together possibly merged
  // into one run. Null when the folder cannot be watched (no machine, no descriptors).
  static std::unique_ptr<RegistryWatcher> Start(const mcom::FilePath& root,
                                                const dispatch::Queue& queue,
                                                dispatch::Work changed);

  // Stops watching: no run of `changed` begins afterwards (one under way finishes).
  ~RegistryWatcher();
  RegistryWatcher(const RegistryWatcher&) = delete;
  RegistryWatcher& operator=(const RegistryWatcher&) = delete;

 private:
  struct Source;
  explicit RegistryWatcher(std::unique_ptr<Source> source);

  std::unique_ptr<Source> source_;
};

}  // namespace platform::da_internal
