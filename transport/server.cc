#include "transport/server.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "transport/receive_source.h"

namespace mach {
namespace {

// The main queue's mark: a key and a value of our own, compared by address.
int main_queue_key;
int main_queue_value;

void MarkMainQueue() {
  static std::once_flag marked;
  std::call_once(marked, [] {
    dispatch::SetSpecific(dispatch::MainQueue(), &main_queue_key, &main_queue_value);
  });
}

}  // namespace

bool Server::IsOnMainQueue() { return dispatch::GetSpecific(&main_queue_key) == &main_queue_value; }

Server::Server(const PortRight<Receive>& port, Mode mode)
    : port_(port),
      mode_(mode),
      queue_(std::holds_alternative<GlobalQueue>(mode) ? dispatch::GlobalQueue()
                                                       : dispatch::MainQueue()) {
  if (std::holds_alternative<MainQueue>(mode_)) MarkMainQueue();
  source_ = CreateReceiveSource(port_, queue_).value();
  source_.SetEventHandler([this] { HandleSourceEvent(); });
  source_.SetCancelHandler([cancelled = cancelled_] { cancelled.Signal(); });
}

Server::~Server() {
  source_.Cancel();
  // On the main queue, a main-queue server's cancel handler cannot run until this returns,
  // so waiting for it would never end. Nothing of the source runs then either: its handlers
  // run only on the main queue, which is busy here.
  if (!(std::holds_alternative<MainQueue>(mode_) && IsOnMainQueue())) {
    cancelled_.Wait(dispatch::kForever);
  }
  group_.Wait(dispatch::kForever);
}

void Server::Resume() { source_.Resume(); }

void Server::Suspend() { source_.Suspend(); }

void Server::HandleSourceEvent() {
  unsigned long largest = 0;
  AccessHandlers([&](Handlers& handlers) {
    for (const Entry& entry : handlers.list) largest = std::max(largest, entry.first);
  });
  // The source fired because the port has something, but that may have been a hang-up or a
  // connection that the receive handles by itself: the receive never waits, so the queue is
  // never held by an empty port.
  mcom::Result<MessageBuffer> received = MessageBuffer::Receive(
      port_.get(), static_cast<mach_msg_size_t>(std::min<unsigned long>(largest, 1u << 24)),
      /*timeout_ms=*/0);
  if (!received) return;
  if (std::holds_alternative<MainQueue>(mode_)) {
    Dispatch(*received);
    return;
  }
  auto block = std::make_shared<MessageBuffer>(std::move(*received));
  dispatch::GroupAsync(group_, queue_, [this, block] {
    MessageBuffer message = std::move(*block);
    Dispatch(message);
  });
}

void Server::Dispatch(MessageBuffer& message) {
  AccessHandlers([&](Handlers& handlers) {
    // By index: a main-queue handler may add handlers while the list is walked.
    for (size_t index = 0; index < handlers.list.size(); ++index) {
      if (handlers.list[index].second(message)) return;
    }
    if (message.id() == kNoSendersId && handlers.no_senders != nullptr) {
      // Held here so that a handler that replaces itself does not destroy itself mid-call.
      const std::shared_ptr<Entry> no_senders = handlers.no_senders;
      if (no_senders->second(message)) return;
    }
    std::fprintf(stderr, "no handler for msg(%d)\n", message.id());
  });
}

void Server::RequestNoSendersFromKernel() {
  mach_port_t previous = MACH_PORT_NULL;
  mach_port_request_notification(mach_task_self(), port_.get(), MACH_NOTIFY_NO_SENDERS, 0,
                                 port_.get(), MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous);
  if (previous != MACH_PORT_NULL) {
    mach_port_mod_refs(mach_task_self(), previous, MACH_PORT_RIGHT_SEND_ONCE, -1);
  }
}

}  // namespace mach
