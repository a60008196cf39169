#include "core/foundation/interruption.h"

#include <signal.h>

#include <atomic>
#include <string>

#include "core/foundation/error.h"

namespace mcom {
namespace {

constexpr int kSlots = 16;

// Written by the handler, so only lock-free atomics: the handler may run on any thread at
// any moment, including while a slot is being filled.
std::atomic<int> interrupting_signal{0};
std::atomic<pid_t> stoppable[kSlots];

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

void StopChildren() {
  for (std::atomic<pid_t>& slot : stoppable) {
    const pid_t pid = slot.load();
    if (pid > 0) ::kill(pid, SIGTERM);
  }
}

void Record(int signal) {
  int none = 0;
  // Only the first signal counts; a second Ctrl-C during the clean-up must not cut the
  // clean-up short.
  if (interrupting_signal.compare_exchange_strong(none, signal)) StopChildren();
}

extern "C" void HandleInterruption(int signal) { Record(signal); }

}  // namespace

void InstallInterruptionHandlers() {
  struct sigaction action {};
  action.sa_handler = HandleInterruption;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

int InterruptingSignal() { return interrupting_signal.load(); }

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "signal " + std::to_string(signal);
  }
}

void ThrowIfInterrupted(const char* operation) {
  if (const int signal = InterruptingSignal()) {
    throw Error(operation, "interrupted by " + SignalName(signal));
  }
}

StoppableChild::StoppableChild(pid_t pid) {
  for (int slot = 0; slot < kSlots; ++slot) {
    pid_t empty = 0;
    if (stoppable[slot].compare_exchange_strong(empty, pid)) {
      slot_ = slot;
      break;
    }
  }
  // The signal may have come between the start of the child and its registration.
  if (InterruptingSignal() != 0) ::kill(pid, SIGTERM);
}

StoppableChild::~StoppableChild() {
  if (slot_ >= 0) stoppable[slot_].store(0);
}

void ResetInterruptionForTesting() { interrupting_signal.store(0); }

void SimulateInterruptionForTesting(int signal) { Record(signal); }

}  // namespace mcom
