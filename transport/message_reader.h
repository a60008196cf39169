#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/mach.h"
#include "transport/region.h"

namespace mach {

// Moves the arguments out of a received message, in order: descriptors first, then inline
// data. Every step checks that the next descriptor has the kind (and, for a port, the
// received right) that the message kind declares and stays inside the message; a step that
// fails takes nothing. What is taken is cleared in the message (name 0, address and size
// 0), so destroying the message afterwards never releases it a second time.
class MessageReader {
 public:
  explicit MessageReader(mach_msg_header_t* message);

  // The next descriptor as an out-of-line region (empty when the descriptor has none).
  bool TakeRegion(Region* region);
  // The next descriptor as a port carrying a right of type `received_type`
  // (MACH_MSG_TYPE_PORT_SEND or MACH_MSG_TYPE_PORT_SEND_ONCE); `*name` may be 0.
  bool TakePort(mach_msg_type_name_t received_type, mach_port_t* name);
  // `length` bytes of inline data.
  bool ReadInline(void* out, size_t length);

 private:
  uint8_t* bytes_;
  size_t size_;
  size_t offset_;
  uint32_t descriptors_left_;
};

}  // namespace mach
