#include "transport/run_with_progress.h"

#include "transport/message_buffer.h"
#include "transport/message_catalogue.h"
#include "transport/progress_message.h"

namespace mach::internal {

dispatch::Semaphore StartProgressLoop(mach_port_t port, const ProgressCallback& progress) {
  dispatch::Semaphore finished(0);
  dispatch::Async(dispatch::GlobalQueue(), [port, &progress, finished] {
    for (;;) {
      mcom::Result<MessageBuffer> message =
          MessageBuffer::Receive(port, ProgressMessage::kRequest.size);
      if (!message) {
        // Also a message too large for the buffer, or one whose payload could not be
        // copied, fails the receive (and is dropped by it); only a port that is gone ends the
        // loop.
        if (message.error().value() == MACH_RCV_TOO_LARGE ||
            message.error().value() == MACH_RCV_BODY_ERROR) {
          continue;
        }
        break;
      }
      if (std::optional<ProgressUpdate> update = DecodeProgressMessage(*message)) {
        progress(std::move(*update));
      }
    }
    finished.Signal();
  });
  return finished;
}

std::shared_ptr<const PortRight<Send>> SessionFor(const SessionProvider& provider,
                                                  const std::string& operation) {
  SessionResult session = provider ? provider() : SessionResult(Error(operation, "no session"));
  if (const Error* error = std::get_if<Error>(&session)) {
    throw Error(operation, "failed to create session", *error);
  }
  std::shared_ptr<const PortRight<Send>> right = std::get<0>(std::move(session));
  if (right == nullptr)
    throw Error(operation, "failed to create session", Error(operation, "no session"));
  return right;
}

void ThrowCommunicationError(const std::string& operation, std::error_code error) {
  throw Error(operation, "helper communication error: " + error.message());
}

}  // namespace mach::internal
