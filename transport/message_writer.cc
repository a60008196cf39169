#include "transport/message_writer.h"

#include <cstring>

namespace mach {

MessageWriter::MessageWriter(void* buffer, MessageShape shape, mach_msg_bits_t bits,
                             mach_port_t remote, mach_port_t local, mach_msg_id_t id)
    : bytes_(static_cast<uint8_t*>(buffer)), size_(shape.size), offset_(kHeaderSize) {
  std::memset(bytes_, 0, size_);
  mach_msg_header_t header{};
  header.msgh_bits = bits | (shape.complex() ? MACH_MSGH_BITS_COMPLEX : 0);
  header.msgh_size = shape.size;
  header.msgh_remote_port = remote;
  header.msgh_local_port = local;
  header.msgh_voucher_port = MACH_PORT_NULL;
  header.msgh_id = id;
  std::memcpy(bytes_, &header, sizeof header);
  if (shape.complex()) offset_ += kBodySize;  // the count, raised per descriptor
}

void MessageWriter::CountDescriptor() {
  mach_msg_body_t body;
  std::memcpy(&body, bytes_ + kHeaderSize, sizeof body);
  ++body.msgh_descriptor_count;
  std::memcpy(bytes_ + kHeaderSize, &body, sizeof body);
}

void MessageWriter::PutPort(mach_port_t name, mach_msg_type_name_t disposition) {
  if (!Fits(kPortDescriptorSize)) return;
  mach_msg_port_descriptor_t port{};
  port.name = name;
  port.disposition = static_cast<uint8_t>(disposition);
  port.type = MACH_MSG_PORT_DESCRIPTOR;
  std::memcpy(bytes_ + offset_, &port, sizeof port);
  offset_ += sizeof port;
  CountDescriptor();
}

void MessageWriter::PutRegion(mach_vm_address_t address, mach_msg_size_t size) {
  if (!Fits(kRegionDescriptorSize)) return;
  mach_msg_ool_descriptor_t region{};
  const bool present = address != 0 && size > 0;
  region.address = present ? reinterpret_cast<void*>(static_cast<uintptr_t>(address)) : nullptr;
  region.deallocate = present ? 1 : 0;
  region.copy = static_cast<uint8_t>(present ? MACH_MSG_VIRTUAL_COPY : MACH_MSG_PHYSICAL_COPY);
  region.type = MACH_MSG_OOL_DESCRIPTOR;
  region.size = present ? size : 0;
  std::memcpy(bytes_ + offset_, &region, sizeof region);
  offset_ += sizeof region;
  CountDescriptor();
}

void MessageWriter::PutInline(const void* bytes, size_t length) {
  if (!Fits(length)) return;
  std::memcpy(bytes_ + offset_, bytes, length);
  offset_ += length;
}

void ReleaseUnsentMessage(mach_msg_header_t* message) {
  if ((message->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0) return;
  auto* bytes = reinterpret_cast<uint8_t*>(message);
  const size_t size = message->msgh_size;
  if (size < kHeaderSize + kBodySize) return;
  mach_msg_body_t body;
  std::memcpy(&body, bytes + kHeaderSize, sizeof body);
  size_t offset = kHeaderSize + kBodySize;
  for (uint32_t index = 0; index < body.msgh_descriptor_count; ++index) {
    if (offset + sizeof(mach_msg_type_descriptor_t) > size) return;
    mach_msg_type_descriptor_t kind;
    std::memcpy(&kind, bytes + offset, sizeof kind);
    if (kind.type == MACH_MSG_PORT_DESCRIPTOR) {
      mach_msg_port_descriptor_t port;
      std::memcpy(&port, bytes + offset, sizeof port);
      if (port.name != MACH_PORT_NULL) {
        if (port.disposition == MACH_MSG_TYPE_MOVE_SEND ||
            port.disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE) {
          mach_port_deallocate(mach_task_self(), port.name);
        } else if (port.disposition == MACH_MSG_TYPE_MOVE_RECEIVE) {
          mach_port_mod_refs(mach_task_self(), port.name, MACH_PORT_RIGHT_RECEIVE, -1);
        }
        port.name = MACH_PORT_NULL;
        std::memcpy(bytes + offset, &port, sizeof port);
      }
      offset += sizeof port;
    } else if (kind.type == MACH_MSG_OOL_DESCRIPTOR) {
      if (offset + sizeof(mach_msg_ool_descriptor_t) > size) return;
      mach_msg_ool_descriptor_t region;
      std::memcpy(&region, bytes + offset, sizeof region);
      if (region.address != nullptr && region.size > 0) {
        vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(region.address),
                      region.size);
      }
      region.address = nullptr;
      region.size = 0;
      std::memcpy(bytes + offset, &region, sizeof region);
      offset += sizeof region;
    } else {
      return;
    }
  }
}

}  // namespace mach
