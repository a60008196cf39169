#pragma once

// The entries of a server's handler table. Each entry is the largest request it accepts and a
// function that tries a received message and answers whether it took it.
//
//   Server::Entry entry = mach::MessageHandler::CreateHandlerWithCompletion(
//       mach::GetAuthorizationRequest{}, 203,
//       [](mach::Promise<AuthorizationExternalForm> promise) { promise.SetValue(form); });

#include <cstdint>
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "transport/args_traits.h"
#include "transport/audit_token.h"
#include "transport/mach.h"
#include "transport/message_buffer.h"
#include "transport/message_layout.h"
#include "transport/message_writer.h"
#include "transport/port_right.h"
#include "transport/promise.h"

namespace mach {

using HandlerEntry = std::pair<unsigned long, std::function<bool(MessageBuffer&)>>;

namespace server_internal {

// Sends the reply to a request: header bits 0x12 (complex when it has descriptors), remote
// = the reply port, id = `reply_id`. When the requester is gone (MACH_SEND_INVALID_DEST)
// what the reply carried is released and the reply right stays with `reply_port`, whose
// owner releases it; any other outcome consumes the right. The outcome is not reported.
template <typename... R>
void SendReply(PortRight<SendOnce>& reply_port, mach_msg_id_t reply_id, const R&... values) {
  constexpr MessageShape shape = internal::ShapeOf<R...>();
  alignas(8) uint8_t storage[shape.size];
  MessageWriter writer(storage, shape, kReplyBits, reply_port.get(), MACH_PORT_NULL, reply_id);
  if (EncodeValues(mcom::types<R...>{}, writer, values...) != KERN_SUCCESS) {
    // No region could be made: nothing is sent, and the requester learns of it through the
    // send-once notification when the reply right goes.
    ReleaseUnsentMessage(writer.header());
    return;
  }
  const mach_msg_return_t result = mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0,
                                            MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (result == MACH_SEND_INVALID_DEST) {
    ReleaseUnsentMessage(writer.header());
    return;
  }
  (void)reply_port.release();
}

// The parameters of a user handler: its arguments, perhaps the sender's audit token, and
// last the promise; from them the message kind it serves.
template <typename Promise>
struct PromiseResults;
template <typename... R>
struct PromiseResults<Promise<R...>> {
  using type = mcom::types<R...>;
};

template <typename Tuple, typename Sequence>
struct TypesPrefix;
template <typename Tuple, size_t... I>
struct TypesPrefix<Tuple, std::index_sequence<I...>> {
  using type = mcom::types<std::tuple_element_t<I, Tuple>...>;
};

template <typename... P>
struct ParameterTraits {
  static_assert(sizeof...(P) >= 1, "a handler takes a mach::Promise as its last parameter");
  using Parameters = std::tuple<std::decay_t<P>...>;
  static constexpr size_t kCount = sizeof...(P);
  static constexpr bool kAuditToken =
      kCount >= 2 &&
      std::is_same_v<std::tuple_element_t<(kCount >= 2 ? kCount - 2 : 0), Parameters>,
                     mcom::AuditToken>;
  using Arguments =
      typename TypesPrefix<Parameters,
                           std::make_index_sequence<kCount - 1 - (kAuditToken ? 1 : 0)>>::type;
  using Traits =
      ArgsTraits<Arguments,
                 typename PromiseResults<std::tuple_element_t<kCount - 1, Parameters>>::type,
                 kAuditToken>;
  using DecayedParameters = mcom::types<std::decay_t<P>...>;
};

template <typename Signature>
struct HandlerSignature;
template <typename C, typename Ret, typename... P>
struct HandlerSignature<Ret (C::*)(P...) const> : ParameterTraits<P...> {};
template <typename C, typename Ret, typename... P>
struct HandlerSignature<Ret (C::*)(P...)> : ParameterTraits<P...> {};
template <typename Ret, typename... P>
struct HandlerSignature<Ret (*)(P...)> : ParameterTraits<P...> {};

// The message kind a handler's signature declares.
template <typename F>
struct HandlerTraits : HandlerSignature<decltype(&std::decay_t<F>::operator())> {};
template <typename Ret, typename... P>
struct HandlerTraits<Ret (*)(P...)> : ParameterTraits<P...> {};

}  // namespace server_internal

struct MessageHandler {
  // The entry for requests with id `id` of the kind `Traits` declares. Its function:
  // 1. refuses another id; 2. takes the reply port (refuses a message without one);
  // 3. checks size, complex bit and descriptor count (on mismatch the reply port is
  // released, so the requester gets the send-once notification); 4. moves the arguments out
  // (a descriptor of the wrong kind or an invalid payload is refused the same way);
  // 5. makes the promise whose reply goes to the reply port with id `id` + 100; 6. reads the
  // sender's audit token when the kind asks for it; 7. calls
  // f(arguments..., [audit token,] promise) and takes the message.
  template <typename... A, typename... R, bool kAuditToken, typename F>
  static HandlerEntry CreateHandlerWithCompletion(
      ArgsTraits<mcom::types<A...>, mcom::types<R...>, kAuditToken>, int id, F&& f) {
    using Traits = ArgsTraits<mcom::types<A...>, mcom::types<R...>, kAuditToken>;
    auto function = [f = std::forward<F>(f), id](MessageBuffer& message) mutable -> bool {
      if (message.id() != id) return false;
      PortRight<SendOnce> reply_port = message.TakeReplyPort();
      if (!reply_port) return false;
      if (!HasShape(message.header(), Traits::kRequest)) return false;
      MessageReader reader(message.header());
      typename Traits::DecodedArguments arguments;
      if (DecodeValues(mcom::types<A...>{}, reader, &arguments)) return false;

      auto port = std::make_shared<PortRight<SendOnce>>(std::move(reply_port));
      const mach_msg_id_t reply_id = id + kReplyIdOffset;
      Promise<R...> promise([port, reply_id](R... values) {
        server_internal::SendReply<R...>(*port, reply_id, values...);
      });
      if constexpr (kAuditToken) {
        const mcom::AuditToken token = message.audit_token();
        std::apply([&](auto&... values) { f(std::move(values)..., token, std::move(promise)); },
                   arguments);
      } else {
        std::apply([&](auto&... values) { f(std::move(values)..., std::move(promise)); },
                   arguments);
      }
      return true;
    };
    return HandlerEntry(Traits::kRequest.size, std::move(function));
  }

  // The entry for the kernel's no-senders notification: it accepts exactly id `id` (70),
  // 36 bytes, not complex, sent by the kernel itself (the kernel's audit token, so that no
  // session holder can fake the last sender's departure), and calls f(NoSendersInfo). It
  // takes the message when f returns true (or returns nothing).
  template <typename F>
  static HandlerEntry CreateNoReplyHandler(ArgsTraits<mcom::types<NoSendersInfo>, void, false>,
                                           int id, F&& f) {
    using Traits = ArgsTraits<mcom::types<NoSendersInfo>, void, false>;
    auto function = [f = std::forward<F>(f), id](MessageBuffer& message) mutable -> bool {
      if (message.id() != id || !HasShape(message.header(), Traits::kRequest)) return false;
      if (message.audit_token() != mcom::AuditToken()) return false;
      MessageReader reader(message.header());
      typename Traits::DecodedArguments arguments;
      if (DecodeValues(mcom::types<NoSendersInfo>{}, reader, &arguments)) return false;
      if constexpr (std::is_void_v<decltype(f(std::get<0>(arguments)))>) {
        f(std::get<0>(arguments));
        return true;
      } else {
        return static_cast<bool>(f(std::get<0>(arguments)));
      }
    };
    return HandlerEntry(Traits::kRequest.size, std::move(function));
  }
};

}  // namespace mach
