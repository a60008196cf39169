#include "app/cli/progress_display.h"

#include <cmath>
#include <cstdio>

ProgressDisplay::ProgressDisplay(std::ostream& out, Clock clock)
    : out_(out), clock_(std::move(clock)), start_(clock_()) {}

void ProgressDisplay::Update(const ProgressUpdate& update) {
  if (const double* fraction = std::get_if<double>(&update)) {
    fraction_ = *fraction;
    if (!copy_start_) copy_start_.emplace(*fraction, clock_());
  } else {
    text_ = std::get<std::string>(update);
  }
  ShowUpdate(update, Snapshot());
}

void ProgressDisplay::Finish(const std::optional<Error>& failure, int exit_status) {
  ShowResult(failure, exit_status, Snapshot());
}

ProgressSnapshot ProgressDisplay::Snapshot() const {
  ProgressSnapshot snapshot;
  snapshot.fraction = fraction_;
  snapshot.text = text_;
  const auto now = clock_();
  snapshot.elapsed_seconds = std::chrono::duration<double>(now - start_).count();
  if (copy_start_ && data_bytes_ > 0) {
    const double copying = std::chrono::duration<double>(now - copy_start_->second).count();
    const double copied = *fraction_ - copy_start_->first;
    if (copying > 0 && copied >= 0) {
      snapshot.bytes_per_second = copied * static_cast<double>(data_bytes_) / copying;
    }
  }
  return snapshot;
}

std::string FormatThroughput(double bytes_per_second) {
  static constexpr const char* kUnits[] = {"B/s", "KB/s", "MB/s", "GB/s", "TB/s"};
  size_t unit = 0;
  while (bytes_per_second >= 1000 && unit + 1 < std::size(kUnits)) {
    bytes_per_second /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, bytes_per_second < 100 && unit > 0 ? "%.1f %s" : "%.0f %s",
                bytes_per_second, kUnits[unit]);
  return text;
}

std::string FormatElapsed(double seconds) {
  const long total = seconds > 0 ? std::lround(std::floor(seconds)) : 0;
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%02ld:%02ld", total / 60, total % 60);
  }
  return text;
}
