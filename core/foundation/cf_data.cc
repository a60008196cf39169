#include "core/foundation/cf_data.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace mcom::cf {

Ref<Data> Data::Create(const void* bytes, size_t length) {
  if (length == 0) return Make<Data>(nullptr, 0, Deallocator());
  auto copy = std::make_unique_for_overwrite<uint8_t[]>(length);
  std::memcpy(copy.get(), bytes, length);
  Ref<Data> data = Make<Data>(
      copy.get(), length, [](const void* owned) { delete[] static_cast<const uint8_t*>(owned); });
  // The object frees the bytes from now on.
  (void)copy.release();
  return data;
}

Ref<Data> Data::CreateWithBytesNoCopy(const void* bytes, size_t length, Deallocator deallocator) {
  return Make<Data>(static_cast<const uint8_t*>(bytes), length, std::move(deallocator));
}

Data::~Data() {
  if (deallocator_) deallocator_(bytes_);
}

bool Data::GetBytes(size_t location, size_t length, void* buffer) const {
  if (location > length_ || length > length_ - location) return false;
  if (length > 0) std::memcpy(buffer, bytes_ + location, length);
  return true;
}

bool Data::EqualTo(const Object& other_object, int) const {
  const Data& other = static_cast<const Data&>(other_object);
  return length_ == other.length_ && std::equal(bytes_, bytes_ + length_, other.bytes_);
}

}  // namespace mcom::cf
