#include "app/controllers/progress.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace app {

uint64_t Progress::totalUnitCount() const {
  const std::lock_guard lock(mutex_);
  return total_;
}

uint64_t Progress::completedUnitCount() const {
  const std::lock_guard lock(mutex_);
  return completed_;
}

std::string Progress::localizedDescription() const {
  const std::lock_guard lock(mutex_);
  return description_;
}

double Progress::fractionCompleted() const {
  const std::lock_guard lock(mutex_);
  return total_ == 0 ? 0.0 : static_cast<double>(completed_) / static_cast<double>(total_);
}

void Progress::setTotalUnitCount(uint64_t count) {
  {
    const std::lock_guard lock(mutex_);
    total_ = count;
  }
  Changed();
}

void Progress::setCompletedUnitCount(uint64_t count) {
  {
    const std::lock_guard lock(mutex_);
    completed_ = count;
  }
  Changed();
}

void Progress::setLocalizedDescription(std::string text) {
  {
    const std::lock_guard lock(mutex_);
    description_ = std::move(text);
  }
  Changed();
}

void Progress::setObserver(Observer observer) {
  auto shared = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  const std::lock_guard lock(mutex_);
  observer_ = std::move(shared);
}

void Progress::Changed() {
  std::shared_ptr<const Observer> observer;
  {
    const std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer) (*observer)(*this);
}

void ProgressHandler::operator()(ProgressUpdate update) const {
  if (const double* fraction = std::get_if<double>(&update)) {
    // Truncated, so that 0.999 is 99 units: the bar reaches 100 only when the work is done.
    // Values outside 0...1 (and NaN) are held to the ends instead of wrapping around.
    const double units = std::isnan(*fraction) ? 0.0 : std::clamp(*fraction, 0.0, 1.0) * 100.0;
    progress_->setCompletedUnitCount(static_cast<uint64_t>(units));
  } else {
    progress_->setLocalizedDescription(std::move(std::get<std::string>(update)));
  }
}

}  // namespace app
