#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mach {

// Reads a payload written by PayloadBuffer from a received region. The cursor moves by the
// same rounded amounts as the writer's; every read first checks that the rounded amount is
// still inside the region, so a payload that claims more bytes than its region holds fails
// the read and is never read past its end. A failed read leaves the cursor where it was.
class PayloadReader {
 public:
  PayloadReader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(data == nullptr ? 0 : size) {}

  bool Read(void* out, size_t length);
  bool ReadUInt32(uint32_t* value);
  bool ReadInt32(int32_t* value);
  bool ReadDouble(double* value);
  bool ReadString(std::string* text);

  // True when the whole region has been read; decoders insist on it, so trailing bytes make
  // a payload invalid.
  bool AtEnd() const { return offset_ == size_; }
  size_t offset() const { return offset_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace mach
