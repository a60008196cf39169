#pragma once

// One message kind at compile time:
//
//   using Replicate = mach::ArgsTraits<
//       mcom::types<APFSContainerName, APFSContainerName, mach::PortRight<mach::Send>>,
//       mcom::types<std::optional<Error>>, false>;
//   static_assert(Replicate::kRequest.size == 72 && Replicate::kReply.size == 44);
//
// The argument types in order, the result types (the reply's body; void for a message
// without reply) and whether the handler also receives the sender's mcom::AuditToken. From
// them follow the exact size, complex bit and descriptor count of the request and of the
// reply. A message without arguments has no body at all (24 bytes, not complex).

#include <cstddef>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include "transport/argument_coding.h"
#include "transport/message_layout.h"
#include "transport/types.h"

namespace mach {

namespace internal {

template <typename... T>
constexpr MessageShape ShapeOf() {
  const mach_msg_size_t descriptors = (mach_msg_size_t{0} + ... + ArgumentCoding<T>::kDescriptors);
  const mach_msg_size_t body = (mach_msg_size_t{0} + ... + ArgumentCoding<T>::kSize);
  return MessageShape{kHeaderSize + (descriptors > 0 ? kBodySize : 0) + body, descriptors};
}

template <typename Results>
struct ReplyShape {
  static constexpr MessageShape kValue{0, 0};
};
template <typename... R>
struct ReplyShape<mcom::types<R...>> {
  static constexpr MessageShape kValue = ShapeOf<R...>();
};

}  // namespace internal

template <typename Arguments, typename Results, bool kAuditToken>
struct ArgsTraits;

template <typename... A, typename Results, bool kAuditToken>
struct ArgsTraits<mcom::types<A...>, Results, kAuditToken> {
  using Arguments = mcom::types<A...>;
  using ResultTypes = Results;
  // The decoded arguments, in order, as the handler receives them.
  using DecodedArguments = std::tuple<typename ArgumentCoding<A>::Decoded...>;

  static constexpr bool kWantsAuditToken = kAuditToken;
  static constexpr bool kHasReply = !std::is_void_v<Results>;
  static constexpr MessageShape kRequest = internal::ShapeOf<A...>();
  // Size 0 when the message has no reply.
  static constexpr MessageShape kReply = internal::ReplyShape<Results>::kValue;
};

// Appends `values` as the types T... (in order) and stops at the first that fails.
template <typename... T, typename... V>
kern_return_t EncodeValues(mcom::types<T...>, MessageWriter& writer, const V&... values) {
  static_assert(sizeof...(T) == sizeof...(V), "one value per declared type");
  kern_return_t result = KERN_SUCCESS;
  ((result = result == KERN_SUCCESS ? ArgumentCoding<T>::Encode(writer, values) : result), ...);
  return result;
}

// Moves the values of types T... out of a received message whose shape was checked, in
// order; stops at the first that fails. What was not taken stays in the message and is
// released with it.
template <typename... T>
std::error_code DecodeValues(mcom::types<T...>, MessageReader& reader,
                             std::tuple<typename ArgumentCoding<T>::Decoded...>* values) {
  std::error_code error;
  [&]<size_t... I>(std::index_sequence<I...>) {
    ((error = error ? error : ArgumentCoding<T>::Decode(reader, &std::get<I>(*values))), ...);
  }
  (std::index_sequence_for<T...>());
  return error;
}

}  // namespace mach
