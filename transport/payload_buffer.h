#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "transport/mach.h"

namespace mach {

// A structured value serialised for travel out of line. Every append grows the buffer by
// its length rounded up to a multiple of 4 and pads with zeros, so every field starts on a
// 4-byte boundary of the payload. Integers and doubles are in host byte order.
//
//   PayloadBuffer payload;
//   payload.AppendUInt32(1);
//   payload.AppendString("disk2s1");   // u32 length 7, 7 bytes, 1 zero byte
class PayloadBuffer {
 public:
  void Append(const void* bytes, size_t length);
  void AppendUInt32(uint32_t value);
  void AppendInt32(int32_t value);
  // The 8 bytes of the IEEE-754 value, at the current position (no alignment to 8).
  void AppendDouble(double value);
  // A 32-bit byte count, then the bytes without a terminating zero.
  void AppendString(std::string_view text);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

  // A fresh region of exactly size() bytes holding the payload (mach_vm_allocate anywhere),
  // ready to be sent with deallocation; the caller owns it until then. Fails with the
  // kernel's code.
  kern_return_t CopyToRegion(mach_vm_address_t* address) const;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace mach
