#pragma once

// A server of one receive right: a dispatch source wakes it when a message is queued, it
// receives the message with the sender's audit token and offers it to a table of typed
// handlers, each bound to one message id.
//
//   mach::Server server(session_port, mach::Server::GlobalQueue{});
//   server.AddHandler(mach::kCollectLogsId, [](mach::Promise<mcom::File> promise) { ... });
//   server.Resume();
//
// Modes:
// - MainQueue: receiving, matching and the handlers all run on the main queue, one message
//   at a time.
// - GlobalQueue: the source's handler (never concurrent with itself) receives one message
//   per event and submits its dispatch to the global queue; each dispatch holds the table's
//   lock while it matches and decodes, and the user handlers run afterwards as asynchronous
//   work of the server's group, outside the lock, concurrently with each other. Long work
//   therefore never holds up other requests.
//
// The main thread counts as running on the main queue only once it serves it (dispatch::Main,
// a main-queue driver): a program that serves the main queue with dispatch::Main sets its
// main-queue servers up from an item on the main queue, since table access from elsewhere
// waits for the main queue.
//
// The server does not own the receive right; the right must outlive the server.
// Destruction cancels the source, waits for its cancel handler and then for every message
// dispatch and every asynchronous handler call to finish, without time limit. A global-queue
// server must not be destroyed from one of its own handlers, which it would wait for.

#include <deque>
#include <memory>
#include <utility>
#include <variant>

#include "core/foundation/dispatch.h"
#include "core/foundation/scope_guard.h"
#include "transport/message_buffer.h"
#include "transport/message_catalogue.h"
#include "transport/message_handler.h"
#include "transport/port_right.h"

namespace mach {

class Server;

namespace server_internal {

// A user handler of a global-queue server: calling it does not run F but submits it, with
// the decoded arguments and the promise, as work of the server's group on its queue. F is
// used by reference: the server outlives the work (its destruction waits for the group).
template <typename F, typename Parameters>
class AsyncHandler;

template <typename F, typename... P>
class AsyncHandler<F, mcom::types<P...>> {
 public:
  AsyncHandler(F f, dispatch::Group group, dispatch::Queue queue)
      : f_(std::move(f)), group_(std::move(group)), queue_(std::move(queue)) {}

  void operator()(P... parameters) {
    auto block = std::make_shared<std::tuple<P...>>(std::move(parameters)...);
    dispatch::GroupAsync(group_, queue_, [&f = f_, block] { std::apply(f, std::move(*block)); });
  }

 private:
  F f_;
  dispatch::Group group_;
  dispatch::Queue queue_;
};

}  // namespace server_internal

class Server {
 public:
  struct GlobalQueue {};
  struct MainQueue {};
  using Mode = std::variant<GlobalQueue, MainQueue>;
  using Entry = HandlerEntry;

  // Entries are appended and never removed; the no-senders entry is replaced as a whole.
  struct Handlers {
    std::deque<Entry> list;
    std::shared_ptr<Entry> no_senders;
  };

  // Builds the queue, semaphores, group and the suspended source. A main-queue server also
  // marks the main queue (once per process) so that the server can tell when it runs there.
  // Throws std::system_error when the source cannot be made (out of descriptors).
  Server(const PortRight<Receive>& port, Mode mode);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts or stops receiving. Add the handlers before the first Resume.
  void Resume();
  void Suspend();

  // Appends the entry for requests `id` of the kind F's signature declares:
  // f(arguments..., [const mcom::AuditToken&,] mach::Promise<results...>). On a
  // global-queue server f runs as asynchronous work (AsyncHandler); on a main-queue server
  // it is called directly.
  template <typename F>
  void AddHandler(int id, F&& f) {
    using Signature = server_internal::HandlerTraits<F>;
    using Traits = typename Signature::Traits;
    Entry entry;
    if (std::holds_alternative<GlobalQueue>(mode_)) {
      using Async =
          server_internal::AsyncHandler<std::decay_t<F>, typename Signature::DecayedParameters>;
      entry = MessageHandler::CreateHandlerWithCompletion(
          Traits{}, id, Async(std::forward<F>(f), group_, queue_));
    } else {
      entry = MessageHandler::CreateHandlerWithCompletion(Traits{}, id, std::forward<F>(f));
    }
    AccessHandlers([&](Handlers& handlers) { handlers.list.push_back(std::move(entry)); });
  }

  // Sets the no-senders entry to f (replacing the previous one) and asks the kernel for a
  // no-senders notification on the served port itself. The notification is one-shot: after
  // it fired, ask again. f is called as f(NoSendersInfo) under handler-table access.
  template <typename F>
  void RequestNoSendersNotification(F&& f) {
    auto entry = std::make_shared<Entry>(MessageHandler::CreateNoReplyHandler(
        NoSendersNotification{}, kNoSendersId, std::forward<F>(f)));
    AccessHandlers([&](Handlers& handlers) { handlers.no_senders.swap(entry); });
    entry.reset();  // the previous entry, outside the table's lock
    RequestNoSendersFromKernel();
  }

  // Runs `work` with the handler table: on a global-queue server under its lock; on a
  // main-queue server directly when the caller runs on the main queue, otherwise through a
  // synchronous submission to the main queue.
  template <typename Work>
  void AccessHandlers(Work&& work) {
    if (std::holds_alternative<GlobalQueue>(mode_)) {
      lock_.Wait(dispatch::kForever);
      const mcom::ScopeExit unlock([this] { lock_.Signal(); });
      work(handlers_);
    } else if (IsOnMainQueue()) {
      work(handlers_);
    } else {
      dispatch::Sync(dispatch::MainQueue(), [&] { work(handlers_); });
    }
  }

  // True when the calling code runs on the main queue (its queue-specific mark).
  static bool IsOnMainQueue();

 private:
  void HandleSourceEvent();
  void Dispatch(MessageBuffer& message);
  void RequestNoSendersFromKernel();

  const PortRight<Receive>& port_;
  const Mode mode_;
  dispatch::Queue queue_;
  dispatch::Source source_;
  dispatch::Semaphore cancelled_{0};
  dispatch::Group group_;
  dispatch::Semaphore lock_{1};
  Handlers handlers_;
};

}  // namespace mach
