#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace mcom {

// A process id names one process only while it lives: the system hands ids out again. What
// tells one instance of a process from a later one with the same id is its start time; on
// Linux, the clock ticks since boot at which it started (/proc/PID/stat). Nothing when there
// is no such process.
std::optional<uint64_t> ProcessStartTime(pid_t pid);

// The start time as an audit token's 32-bit "pid version" word: its low 32 bits, never 0
// (which the token uses for "unknown"). At 100 ticks a second two instances of one id that
// started 497 days apart share a version; nothing else does.
uint32_t PidVersion(uint64_t start_time);

// The pid version of the live process `pid`, 0 when it has gone.
uint32_t CurrentPidVersion(pid_t pid);

}  // namespace mcom
