#include "transport/message_layout.h"

#include <cstring>

namespace mach {

bool HasShape(const mach_msg_header_t* message, MessageShape shape) {
  if (message->msgh_size != shape.size) return false;
  const bool complex = (message->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
  if (complex != shape.complex()) return false;
  if (!complex) return true;
  mach_msg_body_t body;
  std::memcpy(&body, reinterpret_cast<const uint8_t*>(message) + kHeaderSize, sizeof body);
  return body.msgh_descriptor_count == shape.descriptors;
}

}  // namespace mach
