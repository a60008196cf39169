#include "transport/create_session.h"

#include <string>
#include <system_error>

#include "core/foundation/log.h"
#include "transport/call.h"
#include "transport/message_catalogue.h"

namespace mach {

std::variant<Session, Error> CreateSession() {
  mach_port_t service = MACH_PORT_NULL;
  const kern_return_t looked_up = bootstrap_look_up(bootstrap_port, kHelperServiceName, &service);
  if (looked_up != KERN_SUCCESS) {
    mcom::log::Error("bootstrap lookup failed with error %d", looked_up);
    return Error("CreateSession", "bootstrap lookup failed with error: " +
                                      std::system_category().message(looked_up));
  }
  PortRight<Send> service_right(service);
  CallResult<CreateSessionRequest> reply =
      Call<CreateSessionRequest>(kCreateSessionId, service_right);
  if (!reply) {
    const std::string message = reply.error().message();
    mcom::log::Error("failed to get session port: %{public}s", message);
    return Error("CreateSession", "failed to get session port: " + message);
  }
  service_right.reset();
  return Session{std::move(reply->value), reply->sender};
}

}  // namespace mach
