#pragma once

// A blocking request/reply exchange with a server:
//
//   mcom::Result<mach::Reply<std::optional<Error>>> reply =
//       mach::Call<mach::ReplicateContainerRequest>(mach::kReplicateContainerId, session,
//                                                   source, target, progress_port);
//
// The message kind (its argument and reply layouts) is the first template argument; the
// id alone does not say it, since the service port and the session port both serve 200.
// The call blocks the calling thread, without time-out, until the reply or a send-once
// notification arrives; several calls may run at once on different threads, each with its
// own reply port.
//
// Result: the reply's value and the reply's sender (the audit token of its trailer), or a
// std::error_code: the kernel's code of a failed exchange ("mach" category, for example
// MACH_SEND_INVALID_DEST when the server is gone), MIG_TYPE_ERROR (-300) for a reply of the
// wrong layout or invalid contents (a send-once notification, when the server dropped the
// request, is one), MIG_REPLY_MISMATCH (-301) for a reply of the right layout but the wrong
// id, or errno in the system category when a file port cannot be turned into a descriptor.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <tuple>
#include <utility>

#include "core/foundation/error_category.h"
#include "core/foundation/result.h"
#include "core/foundation/scope_guard.h"
#include "transport/args_traits.h"
#include "transport/audit_token.h"
#include "transport/mach.h"
#include "transport/message_layout.h"
#include "transport/message_reader.h"
#include "transport/message_writer.h"
#include "transport/port_right.h"

namespace mach {

// What a call returns: the reply's value (a tuple when the reply has several) and the
// audit token of the process that sent the reply.
template <typename T>
struct Reply {
  T value;
  mcom::AuditToken sender;
};

namespace internal {

template <typename Results>
struct ClientValue;
template <typename R>
struct ClientValue<mcom::types<R>> {
  using type = typename ArgumentCoding<R>::Decoded;
  static type From(std::tuple<type>&& values) { return std::move(std::get<0>(values)); }
};
template <typename... R>
struct ClientValue<mcom::types<R...>> {
  using type = std::tuple<typename ArgumentCoding<R>::Decoded...>;
  static type From(type&& values) { return std::move(values); }
};

// Sends the request in `message` and receives the reply into the same buffer (at most
// `receive_limit` bytes with the trailer) on a fresh reply port of the calling thread,
// which is discarded afterwards. When the send finds the destination gone, releases the
// request's regions and port rights. Returns the kernel's code.
mach_msg_return_t Exchange(mach_msg_header_t* message, mach_msg_size_t send_size,
                           mach_msg_size_t receive_limit);

}  // namespace internal

template <typename Traits>
using CallResult =
    mcom::Result<Reply<typename internal::ClientValue<typename Traits::ResultTypes>::type>>;

// Checks and decodes a received reply to request `request_id` of kind Traits. Whatever the
// outcome, everything the message still holds afterwards is released (mach_msg_destroy).
template <typename Traits>
CallResult<Traits> DecodeReply(mach_msg_header_t* message, mach_msg_id_t request_id) {
  mcom::ScopeExit destroy([message] { mach_msg_destroy(message); });
  if (!HasShape(message, Traits::kReply)) {
    return std::error_code(MIG_TYPE_ERROR, error_category());
  }
  if (message->msgh_id != request_id + kReplyIdOffset) {
    return std::error_code(MIG_REPLY_MISMATCH, error_category());
  }
  using Value = internal::ClientValue<typename Traits::ResultTypes>;
  MessageReader reader(message);
  auto values = [&]<typename... R>(mcom::types<R...>) {
    return std::tuple<typename ArgumentCoding<R>::Decoded...>();
  }(typename Traits::ResultTypes{});
  if (const std::error_code error = DecodeValues(typename Traits::ResultTypes{}, reader, &values)) {
    return error;
  }
  mcom::AuditToken sender;
  std::memcpy(
      sender.val.data(),
      reinterpret_cast<const uint8_t*>(message) + message->msgh_size + kAuditTokenOffsetInTrailer,
      sizeof sender.val);
  return Reply<typename Value::type>{Value::From(std::move(values)), sender};
}

// Sends request `id` of kind Traits with `arguments` (one per declared argument type; a
// PortRight<Send> argument is given as the receive right it is made from) to `destination`
// and waits for the reply.
template <typename Traits, typename... V>
CallResult<Traits> Call(int id, const PortRight<Send>& destination, const V&... arguments) {
  static_assert(Traits::kHasReply, "a call waits for a reply");
  constexpr MessageShape request = Traits::kRequest;
  constexpr mach_msg_size_t receive_limit = Traits::kReply.size + kTrailerSize;
  alignas(8) uint8_t storage[std::max(request.size, receive_limit)];

  const mach_port_t reply_port = mig_get_reply_port();
  if (reply_port == MACH_PORT_NULL) {
    return std::error_code(KERN_RESOURCE_SHORTAGE, error_category());
  }
  MessageWriter writer(storage, request, kRequestBits, destination.get(), reply_port, id);
  if (const kern_return_t result =
          EncodeValues(typename Traits::Arguments{}, writer, arguments...)) {
    ReleaseUnsentMessage(writer.header());
    mig_dealloc_reply_port(reply_port);
    return std::error_code(result, error_category());
  }
  const mach_msg_return_t result = internal::Exchange(writer.header(), request.size, receive_limit);
  if (result != MACH_MSG_SUCCESS) return std::error_code(result, error_category());
  return DecodeReply<Traits>(writer.header(), id);
}

}  // namespace mach
