#pragma once

// Internal to the dispatch library: the queue objects behind dispatch::Queue and the
// bookkeeping of which queue the calling thread runs on.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/queue.h"

namespace dispatch::internal {

class QueueImpl {
 public:
  enum class Kind { kGlobal, kSerial, kMain };

  QueueImpl(Kind kind, std::string label) : kind_(kind), label_(std::move(label)) {}
  virtual ~QueueImpl() = default;
  QueueImpl(const QueueImpl&) = delete;
  QueueImpl& operator=(const QueueImpl&) = delete;

  // Queues `work`; callable from any thread, never blocks for longer than a lock is held.
  // The work runs with this queue as the thread's current queue (CurrentQueueScope).
  virtual void Enqueue(Work work) = 0;

  Kind kind() const { return kind_; }
  const std::string& label() const { return label_; }

  void SetSpecific(const void* key, void* value);
  void* GetSpecific(const void* key) const;

 private:
  const Kind kind_;
  const std::string label_;
  mutable std::mutex specific_mutex_;
  std::vector<std::pair<const void*, void*>> specifics_;
};

// The queue whose item the calling thread runs now; between items, the main queue on the
// main thread; otherwise null.
QueueImpl* CurrentQueue();

// Makes `queue` the calling thread's current queue until the scope ends.
class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(QueueImpl* queue);
  ~CurrentQueueScope();
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  QueueImpl* previous_;
};

// The main queue object (main_queue_linux.cc) and the marking of the thread that serves it.
QueueImpl* MainQueueObject();
void MarkMainThread();
bool IsMainThread();

// Ends the process with a message about a misuse that the platform also refuses (it traps
// with "BUG IN CLIENT OF LIBDISPATCH").
[[noreturn]] void FailMisuse(const char* message);

}  // namespace dispatch::internal
