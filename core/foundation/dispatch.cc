#include "core/foundation/dispatch.h"

namespace mcom {
namespace {

Result<DispatchSource> SourceOrError(std::error_code error, DispatchSource source) {
  if (error) return error;
  return source;
}

}  // namespace

Result<DispatchSource> CreateTimerSource(const DispatchQueue& queue) {
  DispatchSource source;
  const std::error_code error = dispatch::CreateTimerSource(queue, &source);
  return SourceOrError(error, std::move(source));
}

void SetTimer(const DispatchSource& timer, DispatchTime start, uint64_t interval, bool repeat) {
  timer.SetTimer(start, repeat ? interval : dispatch::kForever, 0);
}

Result<DispatchSource> CreatePortReceiveSource(int port, const DispatchQueue& queue) {
  DispatchSource source;
  const std::error_code error = dispatch::CreateReadSource(port, queue, &source);
  return SourceOrError(error, std::move(source));
}

Result<DispatchSource> CreateProcessExitSource(pid_t pid, const DispatchQueue& queue) {
  DispatchSource source;
  const std::error_code error = dispatch::CreateProcessExitSource(pid, queue, &source);
  return SourceOrError(error, std::move(source));
}

}  // namespace mcom
