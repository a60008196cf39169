#include "transport/call.h"

namespace mach::internal {

mach_msg_return_t Exchange(mach_msg_header_t* message, mach_msg_size_t send_size,
                           mach_msg_size_t receive_limit) {
  const mach_port_t reply_port = message->msgh_local_port;
  const mach_msg_return_t result =
      mach_msg(message, MACH_SEND_MSG | MACH_RCV_MSG | kAuditTrailerOptions, send_size,
               receive_limit, reply_port, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (result == MACH_SEND_INVALID_DATA || result == MACH_SEND_INVALID_DEST ||
      result == MACH_SEND_INVALID_HEADER) {
    mig_put_reply_port(reply_port);
  }
  // Every call gets a fresh reply port: a late reply to this one can never be taken for the
  // reply to the next.
  mig_dealloc_reply_port(reply_port);
  if (result == MACH_SEND_INVALID_DEST) {
    // The request never left: what it carries is still the caller's.
    ReleaseUnsentMessage(message);
  }
  if (result == MACH_MSG_SUCCESS) {
    // The receiving port is not the message's to release.
    message->msgh_local_port = MACH_PORT_NULL;
  }
  return result;
}

}  // namespace mach::internal
