#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/backup/progress.h"
#include "core/foundation/error.h"

// How dorvane shows a long operation: a redrawn bar on a terminal, one line per update when
// the output goes elsewhere (a log, a pipe), or one JSON object per update for programs.
enum class ProgressStyle { kBar, kLines, kJson };

// What every style shows: the latest fraction and status text, the time since the operation
// started and the throughput, estimated from the fraction of the data to copy. The
// throughput counts from the first fraction, which marks the start of the copy, so that
// finding the disks and making the image do not make the copy look slow.
struct ProgressSnapshot {
  std::optional<double> fraction;  // none before the first fraction arrives
  std::string text;
  double elapsed_seconds = 0;
  std::optional<double> bytes_per_second;  // none while nothing is known to be copied
};

// How the operation's result reads for people: the headline and the detail lines.
struct ResultTexts {
  std::string message;
  std::string information;  // lines separated by newlines
};

// Receives the engine's updates and the outcome, and writes them in one style. The clock is
// injectable so that tests see fixed times.
class ProgressDisplay {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  ProgressDisplay(std::ostream& out, Clock clock);
  virtual ~ProgressDisplay() = default;

  // How much the operation copies in all, once known (until then, and for 0, no throughput
  // is shown). Times count from the display's construction.
  void SetDataBytes(uint64_t data_bytes) { data_bytes_ = data_bytes; }
  void Update(const ProgressUpdate& update);
  // The operation's end: nothing for success, else the Error it failed with, and the status
  // dorvane exits with.
  void Finish(const std::optional<Error>& failure, int exit_status);
  // Given before Finish: the JSON result object carries them as "message" and "information";
  // the other styles leave them to the caller, who prints them after the outcome.
  void SetResultTexts(ResultTexts texts) { result_texts_ = std::move(texts); }

 protected:
  virtual void ShowUpdate(const ProgressUpdate& update, const ProgressSnapshot& snapshot) = 0;
  virtual void ShowResult(const std::optional<Error>& failure, int exit_status,
                          const ProgressSnapshot& snapshot) = 0;

  std::ostream& out() { return out_; }
  const std::optional<ResultTexts>& result_texts() const { return result_texts_; }

 private:
  ProgressSnapshot Snapshot() const;

  std::ostream& out_;
  Clock clock_;
  std::chrono::steady_clock::time_point start_;
  // The first fraction and when it came: where the copy's throughput counts from.
  std::optional<std::pair<double, std::chrono::steady_clock::time_point>> copy_start_;
  uint64_t data_bytes_ = 0;
  std::optional<double> fraction_;
  std::string text_;
  std::optional<ResultTexts> result_texts_;
};

std::unique_ptr<ProgressDisplay> MakeProgressDisplay(ProgressStyle style, std::ostream& out,
                                                     ProgressDisplay::Clock clock);

// "12.3 MB/s", "850 KB/s": decimal units, as the Finder shows sizes.
std::string FormatThroughput(double bytes_per_second);
// "01:02" for 62 seconds, "1:02:03" from an hour on.
std::string FormatElapsed(double seconds);
