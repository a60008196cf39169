#pragma once

#include <cstddef>
#include <functional>

#include "platform/dispatch/queue.h"

// The main queue: a serial queue whose items run on the main thread, served either by
// Main() (a program without its own event loop, such as the helper) or by an event loop of
// the program's own through a driver (the windowed application serves it from Qt's loop).
namespace dispatch {

// The main queue (dispatch_get_main_queue).
Queue MainQueue();

// Serves the main queue on the calling thread forever (dispatch_main): waits for items and
// runs them one at a time, in order. Never returns; the program ends with exit() from an
// item or a handler. The calling thread becomes the main thread. Call it from one thread
// only, and not together with a driver.
[[noreturn]] void Main();

// Lets an event loop of the program's own serve the main queue.
//
// Contract: `wake` is called, on the thread that queued the work and after it is queued,
// whenever work arrives on the main queue and no drain has been requested since the last
// DrainMainQueue() began; it is also called at once when work is already waiting when the
// driver is set. Each call asks for one later call of DrainMainQueue() on the main thread
// (for Qt: post an event to the main thread's loop, whose handler drains). `wake` must be
// cheap, must not block and must be callable from any thread, including the main thread
// itself and worker threads.
//
// Call it from the thread that will drain the queue; that thread becomes the main thread.
// An empty function removes the driver.
void SetMainQueueDriver(std::function<void()> wake);

// Runs, on the calling thread, the items that were on the main queue when it was called,
// one at a time and in order, and returns how many ran. Work queued while it runs waits for
// the next call (and wakes the driver again), so that a busy queue cannot starve the event
// loop. Must be called from the main thread (the one that set the driver).
size_t DrainMainQueue();

}  // namespace dispatch
