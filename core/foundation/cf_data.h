#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// An immutable run of bytes (CFData).
class Data final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kData;

  // Releases the bytes of a data object made without copying. Called once, on the thread
  // that drops the last reference.
  using Deallocator = std::function<void(const void* bytes)>;

  // A copy of `length` bytes at `bytes` (which may be null when `length` is 0).
  static Ref<Data> Create(const void* bytes, size_t length);
  static Ref<Data> Create(std::span<const uint8_t> bytes) {
    return Create(bytes.data(), bytes.size());
  }
  static Ref<Data> Create(std::string_view bytes) { return Create(bytes.data(), bytes.size()); }

  // Data over the caller's bytes without copying them (CFDataCreateWithBytesNoCopy). The
  // bytes must stay unchanged as long as the object lives. When the last reference goes,
  // `deallocator` (if any) is called with `bytes`; with none, the caller keeps ownership
  // (the platform's kCFAllocatorNull).
  static Ref<Data> CreateWithBytesNoCopy(const void* bytes, size_t length, Deallocator deallocator);

  // CFDataGetBytePtr and CFDataGetLength. The pointer is valid while the object lives; it may
  // be null for empty data.
  const uint8_t* bytes() const { return bytes_; }
  size_t length() const { return length_; }
  std::span<const uint8_t> span() const { return {bytes_, length_}; }
  std::string_view AsStringView() const { return {reinterpret_cast<const char*>(bytes_), length_}; }

  // CFDataGetBytes: copies `length` bytes starting at `location` into `buffer`. A range that
  // does not lie inside the data copies nothing and answers false (the platform would stop
  // the process).
  bool GetBytes(size_t location, size_t length, void* buffer) const;

  Data(Passkey, const uint8_t* bytes, size_t length, Deallocator deallocator)
      : Object(kTypeId), bytes_(bytes), length_(length), deallocator_(std::move(deallocator)) {}
  ~Data() override;

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  const uint8_t* bytes_;
  size_t length_;
  Deallocator deallocator_;
};

}  // namespace mcom::cf
