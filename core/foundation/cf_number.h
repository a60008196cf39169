#pragma once

#include <cstdint>
#include <optional>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// An immutable number (CFNumber): an integer or a real. Integers are 64-bit signed; an
// unsigned value above INT64_MAX is kept as such (the platform keeps those as 128-bit
// integers), so every integer a property list can carry survives reading and writing.
class Number final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kNumber;

  enum class Kind {
    kSigned,    // an integer held as int64_t
    kUnsigned,  // an integer above INT64_MAX, held as uint64_t
    kReal,      // a double (CFNumberIsFloatType)
  };

  static Ref<Number> CreateInteger(int64_t value);
  // A value up to INT64_MAX is the same signed integer CreateInteger makes.
  static Ref<Number> CreateUnsigned(uint64_t value);
  static Ref<Number> CreateReal(double value);

  Kind kind() const { return kind_; }
  bool IsReal() const { return kind_ == Kind::kReal; }

  // The value as int64_t when it is exactly representable: any signed integer, and a real
  // with no fraction within range. Empty otherwise (no silent truncation).
  std::optional<int64_t> Int64Value() const;
  // The value as uint64_t when it is exactly representable (never for negative values).
  std::optional<uint64_t> UInt64Value() const;
  // The value as a double (the nearest one for large integers).
  double DoubleValue() const;

  Number(Passkey, Kind kind, int64_t signed_value, uint64_t unsigned_value, double real_value)
      : Object(kTypeId),
        kind_(kind),
        signed_(signed_value),
        unsigned_(unsigned_value),
        real_(real_value) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  Kind kind_;
  int64_t signed_;
  uint64_t unsigned_;
  double real_;
};

}  // namespace mcom::cf
