#pragma once

// Runs a long request on the helper and turns its progress messages into callbacks:
//
//   mach::RunWithProgress(GetHelperSession, "ReplicateContainer", mach::kReplicateContainerId,
//                         progress, source, target);
//
// The request gets the arguments followed by a fresh progress port (a receive right of this
// call, lent to the helper as a made send right). A loop on the global queue receives on it
// and calls `progress` for each valid progress message, one after another, in the order the
// helper sent them; messages of another layout and updates without a valid value are
// skipped. When the reply is in, the progress port is destroyed (progress still queued in it
// is dropped) and the loop is waited for, so no callback runs after RunWithProgress returns.
//
// Errors (thrown as Error):
// - the session cannot be had: Error(operation, "failed to create session", cause = its Error);
// - the exchange failed: Error(operation, "helper communication error: " + the code's text);
// - the helper replied with an Error: that Error, unchanged.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "core/foundation/dispatch.h"
#include "core/foundation/error.h"
#include "core/foundation/scope_guard.h"
#include "transport/call.h"
#include "transport/port_right.h"
#include "transport/progress_update.h"

namespace mach {

// A session with the helper, as the application's session cache hands it out, or why there
// is none.
using SessionResult = std::variant<std::shared_ptr<const PortRight<Send>>, Error>;
using SessionProvider = std::function<SessionResult()>;

namespace internal {

// Starts the receiving loop on `port` (on the global queue); the returned semaphore is
// signalled once the loop has ended, which it does when a receive fails (the port was
// destroyed). `progress` must stay valid until then.
dispatch::Semaphore StartProgressLoop(mach_port_t port, const ProgressCallback& progress);

// The session from `provider`, or the Error to throw for `operation`.
std::shared_ptr<const PortRight<Send>> SessionFor(const SessionProvider& provider,
                                                  const std::string& operation);

[[noreturn]] void ThrowCommunicationError(const std::string& operation, std::error_code error);

}  // namespace internal

template <typename... A>
void RunWithProgress(const SessionProvider& session_provider, const std::string& operation, int id,
                     const ProgressCallback& progress, const A&... arguments) {
  using Traits =
      ArgsTraits<mcom::types<A..., PortRight<Send>>, mcom::types<std::optional<Error>>, false>;
  const std::shared_ptr<const PortRight<Send>> session =
      internal::SessionFor(session_provider, operation);
  mcom::Result<PortRight<Receive>> progress_port = AllocateReceiveRight();
  if (!progress_port) internal::ThrowCommunicationError(operation, progress_port.error());

  std::optional<CallResult<Traits>> reply;
  {
    const dispatch::Semaphore finished =
        internal::StartProgressLoop(progress_port->get(), progress);
    mcom::ScopeExit end_loop([&] {
      progress_port->reset();
      finished.Wait(dispatch::kForever);
    });
    reply.emplace(Call<Traits>(id, *session, arguments..., *progress_port));
  }
  if (!*reply) internal::ThrowCommunicationError(operation, reply->error());
  if (const std::optional<Error>& error = (*reply)->value) throw Error(*error);
}

}  // namespace mach
