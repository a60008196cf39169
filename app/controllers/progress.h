#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/backup/progress.h"

namespace app {

// The progress of one running operation, as the screens observe it: a total and a completed
// unit count and a line of text. Written by whatever thread the core library reports from,
// read by the screens (or the command line) from theirs.
class Progress {
 public:
  // Called after every change, on the thread that made it, outside the lock.
  using Observer = std::function<void(const Progress&)>;

  explicit Progress(uint64_t total_unit_count = 0) : total_(total_unit_count) {}

  uint64_t totalUnitCount() const;
  uint64_t completedUnitCount() const;
  std::string localizedDescription() const;
  // completed / total, 0 while the total is 0.
  double fractionCompleted() const;

  void setTotalUnitCount(uint64_t count);
  void setCompletedUnitCount(uint64_t count);
  void setLocalizedDescription(std::string text);

  // One observer; a later call replaces it.
  void setObserver(Observer observer);

 private:
  void Changed();

  mutable std::mutex mutex_;
  uint64_t total_;
  uint64_t completed_ = 0;
  std::string description_;
  std::shared_ptr<const Observer> observer_;
};

// The core library's progress sink for one run: a fraction f sets the completed units to
// f × 100, truncated; a text becomes the description. Copies share the same progress object.
class ProgressHandler {
 public:
  explicit ProgressHandler(std::shared_ptr<Progress> progress) : progress_(std::move(progress)) {}

  void operator()(ProgressUpdate update) const;

 private:
  std::shared_ptr<Progress> progress_;
};

}  // namespace app
