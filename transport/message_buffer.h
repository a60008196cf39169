#pragma once

#include <cstddef>

#include "core/foundation/result.h"
#include "transport/audit_token.h"
#include "transport/mach.h"
#include "transport/port_right.h"

namespace mach {

// One received message, owned: a malloc block holding header, body and trailer. Destroying
// it first destroys the message (mach_msg_destroy, which releases every right and
// out-of-line region still named in it) and then frees the block. Arguments moved out of it
// (MessageReader, TakeReplyPort) are cleared in it, so they are never released twice.
//
// Right after a successful receive the header's local port is cleared to 0, so that
// destroying the message can never release the receiver's own port.
class MessageBuffer {
 public:
  MessageBuffer() = default;
  ~MessageBuffer();
  MessageBuffer(MessageBuffer&& other) noexcept;
  MessageBuffer& operator=(MessageBuffer&& other) noexcept;
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Receives one message from `port` into a fresh block of `max_size` + the trailer (the
  // audit trailer is always asked for). `timeout_ms` < 0 waits without limit. Fails with
  // the kernel's code in the "mach" category.
  static mcom::Result<MessageBuffer> Receive(mach_port_t port, mach_msg_size_t max_size,
                                             int timeout_ms = -1);

  // Takes over `block` (from malloc, `capacity` bytes), which holds a received message
  // whose local port is already cleared.
  MessageBuffer(void* block, size_t capacity) : block_(block), capacity_(capacity) {}

  explicit operator bool() const { return block_ != nullptr; }
  mach_msg_header_t* header() const { return static_cast<mach_msg_header_t*>(block_); }
  mach_msg_id_t id() const { return header()->msgh_id; }
  mach_msg_size_t size() const { return header()->msgh_size; }
  bool complex() const { return (header()->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0; }

  // The reply port, when the message carries one as a send-once right (remote disposition
  // 18, name not 0); it is cleared in the message. Empty otherwise.
  PortRight<SendOnce> TakeReplyPort();

  // The sender's audit token from the trailer at offset size() + 20; the invalid token when
  // the block holds no audit trailer there.
  mcom::AuditToken audit_token() const;

 private:
  void reset();

  void* block_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace mach
