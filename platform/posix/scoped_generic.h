#pragma once

#include <utility>

namespace mcom {

// Owner of one platform handle. Traits supply the value that means "none" and the function
// that releases a handle:
//
//   struct DescriptorTraits {
//     static int InvalidValue() { return -1; }
//     static void Free(int fd) { close(fd); }
//   };
//
// Move-only: a handle has exactly one owner. Aliases and thin classes on top of it name
// each kind of handle (descriptors, property-list references, registry entries, port
// rights).
template <typename T, typename Traits>
class ScopedGeneric {
 public:
  ScopedGeneric() = default;
  explicit ScopedGeneric(T value) : value_(value) {}
  ~ScopedGeneric() { reset(); }

  ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  const T& get() const { return value_; }
  bool is_valid() const { return value_ != Traits::InvalidValue(); }
  explicit operator bool() const { return is_valid(); }

  // Releases the current handle (if any) and takes over `value`.
  void reset(T value = Traits::InvalidValue()) {
    T old = std::exchange(value_, value);
    if (old != Traits::InvalidValue()) Traits::Free(old);
  }

  // Gives the handle up without releasing it; the caller becomes its owner.
  [[nodiscard]] T release() { return std::exchange(value_, Traits::InvalidValue()); }

 private:
  T value_ = Traits::InvalidValue();
};

}  // namespace mcom
