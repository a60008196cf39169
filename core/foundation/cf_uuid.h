#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// A universally unique identifier (CFUUID): 16 bytes. The platform hands UUIDs out as
// objects of their own in a few places (the disk-arbitration description's volume and media
// UUIDs); the registry and property lists carry them as strings instead. Not a property-list
// value: the writers refuse it, as they refuse a URL.
class UUID final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kUUID;
  using Bytes = std::array<uint8_t, 16>;

  static Ref<UUID> Create(const Bytes& bytes);
  // CFUUIDCreateFromString: the 36-character form "8-4-4-4-12" of hexadecimal digits in
  // either case ("7C3457EF-0000-11AA-AA11-00306543ECAC"). Null for anything else (the
  // platform accepts a few sloppier forms; the system never produces them).
  static Ref<UUID> CreateFromString(std::string_view text);

  const Bytes& bytes() const { return bytes_; }
  // CFUUIDCreateString: the 36-character form with upper-case digits.
  std::string ToString() const;

  UUID(Passkey, const Bytes& bytes) : Object(kTypeId), bytes_(bytes) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  Bytes bytes_;
};

}  // namespace mcom::cf
