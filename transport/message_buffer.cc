#include "transport/message_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/foundation/error_category.h"
#include "transport/message_layout.h"

namespace mach {

MessageBuffer::~MessageBuffer() { reset(); }

MessageBuffer::MessageBuffer(MessageBuffer&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

MessageBuffer& MessageBuffer::operator=(MessageBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    block_ = std::exchange(other.block_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void MessageBuffer::reset() {
  if (block_ == nullptr) return;
  mach_msg_destroy(header());
  std::free(std::exchange(block_, nullptr));
  capacity_ = 0;
}

mcom::Result<MessageBuffer> MessageBuffer::Receive(mach_port_t port, mach_msg_size_t max_size,
                                                   int timeout_ms) {
  const size_t capacity = size_t{max_size} + kTrailerSize;
  void* block = std::calloc(1, capacity);
  if (block == nullptr) {
    return std::error_code(KERN_RESOURCE_SHORTAGE, error_category());
  }
  mach_msg_option_t option = MACH_RCV_MSG | kAuditTrailerOptions;
  mach_msg_timeout_t timeout = MACH_MSG_TIMEOUT_NONE;
  if (timeout_ms >= 0) {
    option |= MACH_RCV_TIMEOUT;
    timeout = static_cast<mach_msg_timeout_t>(timeout_ms);
  }
  auto* header = static_cast<mach_msg_header_t*>(block);
  const mach_msg_return_t result = mach_msg(
      header, option, 0, static_cast<mach_msg_size_t>(capacity), port, timeout, MACH_PORT_NULL);
  if (result != MACH_MSG_SUCCESS) {
    std::free(block);
    return std::error_code(result, error_category());
  }
  header->msgh_local_port = MACH_PORT_NULL;
  return MessageBuffer(block, capacity);
}

PortRight<SendOnce> MessageBuffer::TakeReplyPort() {
  mach_msg_header_t* message = header();
  if (MACH_MSGH_BITS_REMOTE(message->msgh_bits) != MACH_MSG_TYPE_PORT_SEND_ONCE ||
      message->msgh_remote_port == MACH_PORT_NULL) {
    return PortRight<SendOnce>();
  }
  return PortRight<SendOnce>(std::exchange(message->msgh_remote_port, MACH_PORT_NULL));
}

mcom::AuditToken MessageBuffer::audit_token() const {
  const size_t at = size_t{size()} + kAuditTokenOffsetInTrailer;
  mcom::AuditToken token = mcom::AuditToken::Invalid();
  if (at + sizeof token.val > capacity_) return token;
  std::memcpy(token.val.data(), static_cast<const uint8_t*>(block_) + at, sizeof token.val);
  return token;
}

}  // namespace mach
