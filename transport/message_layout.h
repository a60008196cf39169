#pragma once

// The fixed parts of every message between application and helper: header bits, sizes and
// the trailer. All integers are in host byte order; there is no version field, so the id
// and the exact size, complex bit and descriptor count of a message are the whole contract.

#include <cstddef>

#include "transport/mach.h"

namespace mach {

inline constexpr mach_msg_size_t kHeaderSize = sizeof(mach_msg_header_t);  // 24
inline constexpr mach_msg_size_t kBodySize = sizeof(mach_msg_body_t);      // 4
inline constexpr mach_msg_size_t kPortDescriptorSize = sizeof(mach_msg_port_descriptor_t);
inline constexpr mach_msg_size_t kRegionDescriptorSize = sizeof(mach_msg_ool_descriptor_t);
// Every receive asks for the audit trailer, which follows the message at offset `size`.
inline constexpr mach_msg_size_t kTrailerSize = sizeof(mach_msg_audit_trailer_t);  // 52
inline constexpr size_t kAuditTokenOffsetInTrailer = offsetof(mach_msg_audit_trailer_t, msgh_audit);
inline constexpr mach_msg_option_t kAuditTrailerOptions =
    MACH_RCV_TRAILER_TYPE(MACH_MSG_TRAILER_FORMAT_0) |
    MACH_RCV_TRAILER_ELEMENTS(MACH_RCV_TRAILER_AUDIT);  // 0x03000000

// Requests: the sender keeps its send right to the destination (copy-send) and makes a
// send-once right for the reply.
inline constexpr mach_msg_bits_t kRequestBits =
    MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);  // 0x1513
// Replies consume the requester's send-once right.
inline constexpr mach_msg_bits_t kReplyBits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
// One-way messages (progress) keep the sender's send right and carry no reply port.
inline constexpr mach_msg_bits_t kOneWayBits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);

// A reply's id is its request's id plus this.
inline constexpr mach_msg_id_t kReplyIdOffset = 100;

// The layout of one message kind: what a received message must match exactly.
struct MessageShape {
  mach_msg_size_t size = kHeaderSize;
  mach_msg_size_t descriptors = 0;
  bool complex() const { return descriptors > 0; }
  constexpr bool operator==(const MessageShape&) const = default;
};

// True when the message has exactly this size, complex bit and descriptor count (a message
// with descriptors must be complex, one without must not).
bool HasShape(const mach_msg_header_t* message, MessageShape shape);

}  // namespace mach
