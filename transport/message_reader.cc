#include "transport/message_reader.h"

#include <cstring>

#include "transport/message_layout.h"

namespace mach {

MessageReader::MessageReader(mach_msg_header_t* message)
    : bytes_(reinterpret_cast<uint8_t*>(message)),
      size_(message->msgh_size),
      offset_(kHeaderSize),
      descriptors_left_(0) {
  if ((message->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0 && size_ >= kHeaderSize + kBodySize) {
    mach_msg_body_t body;
    std::memcpy(&body, bytes_ + kHeaderSize, sizeof body);
    descriptors_left_ = body.msgh_descriptor_count;
    offset_ += kBodySize;
  }
}

bool MessageReader::TakeRegion(Region* region) {
  if (descriptors_left_ == 0 || offset_ + kRegionDescriptorSize > size_) return false;
  mach_msg_ool_descriptor_t descriptor;
  std::memcpy(&descriptor, bytes_ + offset_, sizeof descriptor);
  if (descriptor.type != MACH_MSG_OOL_DESCRIPTOR) return false;
  *region = Region(reinterpret_cast<uintptr_t>(descriptor.address), descriptor.size);
  descriptor.address = nullptr;
  descriptor.size = 0;
  std::memcpy(bytes_ + offset_, &descriptor, sizeof descriptor);
  offset_ += sizeof descriptor;
  --descriptors_left_;
  return true;
}

bool MessageReader::TakePort(mach_msg_type_name_t received_type, mach_port_t* name) {
  if (descriptors_left_ == 0 || offset_ + kPortDescriptorSize > size_) return false;
  mach_msg_port_descriptor_t descriptor;
  std::memcpy(&descriptor, bytes_ + offset_, sizeof descriptor);
  if (descriptor.type != MACH_MSG_PORT_DESCRIPTOR || descriptor.disposition != received_type) {
    return false;
  }
  *name = descriptor.name;
  descriptor.name = MACH_PORT_NULL;
  std::memcpy(bytes_ + offset_, &descriptor, sizeof descriptor);
  offset_ += sizeof descriptor;
  --descriptors_left_;
  return true;
}

bool MessageReader::ReadInline(void* out, size_t length) {
  if (descriptors_left_ != 0 || offset_ + length > size_) return false;
  std::memcpy(out, bytes_ + offset_, length);
  offset_ += length;
  return true;
}

}  // namespace mach
