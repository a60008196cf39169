#include "app/cli/progress_forwarding.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct Forwarded {
  std::mutex mutex;  // the core library may report from more than one thread
  std::string description;
  uint64_t completed = 0;
};

}  // namespace

void ForwardProgress(app::Progress& progress, ProgressCallback forward) {
  auto forwarded = std::make_shared<Forwarded>();
  progress.setObserver([forwarded, forward = std::move(forward)](const app::Progress& changed) {
    const std::lock_guard lock(forwarded->mutex);
    std::string description = changed.localizedDescription();
    if (description != forwarded->description) {
      forwarded->description = description;
      forward(std::move(description));
    }
    const uint64_t completed = changed.completedUnitCount();
    if (completed != forwarded->completed && changed.totalUnitCount() > 0) {
      forwarded->completed = completed;
      forward(changed.fractionCompleted());
    }
  });
}
