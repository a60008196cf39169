#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace mach {

// An out-of-line region received in a message, owned: released with vm_deallocate when
// destroyed. Empty (address 0, size 0) for a descriptor without a region.
class Region {
 public:
  Region() = default;
  Region(uint64_t address, size_t size) : address_(address), size_(size) {}
  ~Region() { reset(); }
  Region(Region&& other) noexcept
      : address_(std::exchange(other.address_, 0)), size_(std::exchange(other.size_, 0)) {}
  Region& operator=(Region&& other) noexcept {
    if (this != &other) {
      reset();
      address_ = std::exchange(other.address_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  const void* data() const {
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(address_));
  }
  size_t size() const { return size_; }
  bool empty() const { return address_ == 0 || size_ == 0; }

  void reset();

 private:
  uint64_t address_ = 0;
  size_t size_ = 0;
};

}  // namespace mach
