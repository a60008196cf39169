#include "transport/payload_buffer.h"

#include <cstring>

namespace mach {

void PayloadBuffer::Append(const void* bytes, size_t length) {
  const size_t start = bytes_.size();
  const size_t rounded = (length + 3) & ~size_t{3};
  bytes_.resize(start + rounded, 0);
  if (length > 0) std::memcpy(bytes_.data() + start, bytes, length);
}

void PayloadBuffer::AppendUInt32(uint32_t value) { Append(&value, sizeof value); }

void PayloadBuffer::AppendInt32(int32_t value) { Append(&value, sizeof value); }

void PayloadBuffer::AppendDouble(double value) { Append(&value, sizeof value); }

void PayloadBuffer::AppendString(std::string_view text) {
  AppendUInt32(static_cast<uint32_t>(text.size()));
  Append(text.data(), text.size());
}

kern_return_t PayloadBuffer::CopyToRegion(mach_vm_address_t* address) const {
  *address = 0;
  if (const kern_return_t result =
          mach_vm_allocate(mach_task_self(), address, bytes_.size(), VM_FLAGS_ANYWHERE)) {
    return result;
  }
  if (!bytes_.empty()) {
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(*address)), bytes_.data(),
                bytes_.size());
  }
  return KERN_SUCCESS;
}

}  // namespace mach
