#pragma once

// Serving a long operation on the session port: the request carries the operation's
// arguments and a progress port; the operation's progress goes there as progress messages,
// and the reply is its Error or none.

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/backup/progress.h"
#include "core/foundation/error.h"
#include "transport/progress_message.h"
#include "transport/server.h"

namespace helper {

// The argument types come from the first parameter alone (a pack before the callback could
// not be deduced from the operation's type).
template <typename... A>
void AddOperationHandlerImpl(mcom::types<A...>, mach::Server& server, int id,
                             std::type_identity_t<void (*)(A..., ProgressCallback)> operation) {
  server.AddHandler(id, [operation](A... arguments, mach::PortRight<mach::Send> progress_port,
                                    const mach::Promise<std::optional<Error>>& promise) {
    // Shared by the copies of the callback the operation may keep; released with the last
    // of them, when the work ends.
    auto progress = std::make_shared<const mach::PortRight<mach::Send>>(std::move(progress_port));
    const ProgressCallback callback = [progress](const ProgressUpdate& update) {
      // A caller that stopped listening does not stop the work.
      (void)mach::SendProgress(*progress, update);
    };
    try {
      operation(std::move(arguments)..., callback);
      promise.SetValue(std::nullopt);
    } catch (const Error& error) {
      promise.SetValue(error);
    }
  });
}

}  // namespace helper
