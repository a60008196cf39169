#include "transport/payload_reader.h"

#include <cstring>

namespace mach {

bool PayloadReader::Read(void* out, size_t length) {
  const size_t left = size_ - offset_;
  if (length > left) return false;
  const size_t rounded = (length + 3) & ~size_t{3};
  if (rounded > left) return false;
  if (length > 0) std::memcpy(out, data_ + offset_, length);
  offset_ += rounded;
  return true;
}

bool PayloadReader::ReadUInt32(uint32_t* value) { return Read(value, sizeof *value); }

bool PayloadReader::ReadInt32(int32_t* value) { return Read(value, sizeof *value); }

bool PayloadReader::ReadDouble(double* value) { return Read(value, sizeof *value); }

bool PayloadReader::ReadString(std::string* text) {
  const size_t start = offset_;
  uint32_t length = 0;
  if (!ReadUInt32(&length)) return false;
  // The length is checked against the region before anything is allocated for it.
  const size_t left = size_ - offset_;
  if (length > left || ((size_t{length} + 3) & ~size_t{3}) > left) {
    offset_ = start;
    return false;
  }
  text->assign(reinterpret_cast<const char*>(data_ + offset_), length);
  offset_ += (size_t{length} + 3) & ~size_t{3};
  return true;
}

}  // namespace mach
