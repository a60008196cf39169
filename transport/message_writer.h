#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/mach.h"
#include "transport/message_layout.h"

namespace mach {

// Writes one message of a known shape: the header, then (for a complex message) the
// descriptor count and the descriptors packed in argument order, then inline data. The
// descriptor count grows with each descriptor written, so a message left half-written by a
// failed encoding names exactly what it holds and can be released with
// ReleaseUnsentMessage.
class MessageWriter {
 public:
  // `buffer` holds at least `shape.size` bytes, suitably aligned; they are zeroed first.
  // The complex bit is added to `bits` when the shape has descriptors.
  MessageWriter(void* buffer, MessageShape shape, mach_msg_bits_t bits, mach_port_t remote,
                mach_port_t local, mach_msg_id_t id);

  // A port descriptor: name, disposition, type 0.
  void PutPort(mach_port_t name, mach_msg_type_name_t disposition);
  // An out-of-line descriptor for a region of `size` bytes at `address`, sent with
  // deallocation and as a virtual copy; address 0 and size 0 (and neither flag) for none.
  void PutRegion(mach_vm_address_t address, mach_msg_size_t size);
  // Bytes in the body after the descriptors.
  void PutInline(const void* bytes, size_t length);

  mach_msg_header_t* header() { return reinterpret_cast<mach_msg_header_t*>(bytes_); }

 private:
  bool Fits(size_t length) const { return offset_ + length <= size_; }
  void CountDescriptor();

  uint8_t* bytes_;
  size_t size_;
  size_t offset_;
};

// Releases what a message that could not be sent still holds (the send failed with
// MACH_SEND_INVALID_DEST): every out-of-line region with vm_deallocate, and every port
// descriptor by its disposition (move-send and move-send-once: mach_port_deallocate;
// move-receive: the receive right; make-send and copy-send hold nothing). The header's
// ports are left alone. Descriptors already released have name 0 or size 0.
void ReleaseUnsentMessage(mach_msg_header_t* message);

}  // namespace mach
