#pragma once

// The dispatch calls of the system with the settings it always uses. Queues, groups,
// semaphores and sources are the platform layer's own objects (platform/dispatch/), already
// reference-counted owners; this header names them for the system code and adds the few
// helpers whose settings are fixed here:
//
//   mcom::Result<mcom::DispatchSource> timer = mcom::CreateTimerSource(dispatch::MainQueue());
//   timer->SetEventHandler([] { std::exit(0); });
//   mcom::SetTimer(*timer, dispatch::After(std::chrono::seconds(5)), 0, /*repeat=*/false);
//   timer->Resume();
//
// Queues: dispatch::GlobalQueue() (default priority, no flags), dispatch::MainQueue(),
// dispatch::CreateQueue(label) (serial), dispatch::Async. Groups: dispatch::Group,
// dispatch::GroupAsync, Group::Wait (true when finished in time). Semaphores:
// dispatch::Semaphore(start value), Wait (true when signalled in time), Signal (true when it
// woke a waiter). Sources: Resume, Suspend, Cancel.

#include <sys/types.h>

#include <cstdint>

#include "core/foundation/result.h"
#include "platform/dispatch/group.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/source.h"
#include "platform/dispatch/time.h"

namespace mcom {

using DispatchQueue = dispatch::Queue;
using DispatchGroup = dispatch::Group;
using DispatchSemaphore = dispatch::Semaphore;
using DispatchSource = dispatch::Source;
using DispatchTime = dispatch::Time;

// A timer source on `queue` (the global queue when none is given), suspended and not yet
// set. Fails only when the system is out of descriptors or memory.
Result<DispatchSource> CreateTimerSource(const DispatchQueue& queue = dispatch::GlobalQueue());

// Sets `timer` to fire first at `start` and then every `interval` nanoseconds when `repeat`
// is true; a non-repeating timer gets the interval dispatch::kForever and fires once. The
// leeway is always 0. A start of dispatch::kForever disarms the timer.
void SetTimer(const DispatchSource& timer, DispatchTime start, uint64_t interval, bool repeat);

// The receive source of a message port: fires on `queue` whenever a message is queued on
// `port` (the descriptor of the port's receive right) and stays silent while the handler
// runs. The port must stay open until the source's cancel handler has run.
Result<DispatchSource> CreatePortReceiveSource(int port, const DispatchQueue& queue);

// A source that fires once on `queue` when process `pid` exits (the exit event mask).
Result<DispatchSource> CreateProcessExitSource(pid_t pid, const DispatchQueue& queue);

}  // namespace mcom
