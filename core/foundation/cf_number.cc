#include "core/foundation/cf_number.h"

#include <cmath>
#include <limits>

namespace mcom::cf {

Ref<Number> Number::CreateInteger(int64_t value) {
  return Make<Number>(Kind::kSigned, value, 0, 0.0);
}

Ref<Number> Number::CreateUnsigned(uint64_t value) {
  if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return CreateInteger(static_cast<int64_t>(value));
  }
  return Make<Number>(Kind::kUnsigned, 0, value, 0.0);
}

Ref<Number> Number::CreateReal(double value) { return Make<Number>(Kind::kReal, 0, 0, value); }

std::optional<int64_t> Number::Int64Value() const {
  switch (kind_) {
    case Kind::kSigned:
      return signed_;
    case Kind::kUnsigned:
      return std::nullopt;
    case Kind::kReal:
      // -2^63 is exact as a double; 2^63 is the first value out of range.
      if (std::isfinite(real_) && std::trunc(real_) == real_ && real_ >= -0x1p63 &&
          real_ < 0x1p63) {
        return static_cast<int64_t>(real_);
      }
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<uint64_t> Number::UInt64Value() const {
  switch (kind_) {
    case Kind::kSigned:
      if (signed_ < 0) return std::nullopt;
      return static_cast<uint64_t>(signed_);
    case Kind::kUnsigned:
      return unsigned_;
    case Kind::kReal:
      if (std::isfinite(real_) && std::trunc(real_) == real_ && real_ >= 0 && real_ < 0x1p64) {
        return static_cast<uint64_t>(real_);
      }
      return std::nullopt;
  }
  return std::nullopt;
}

double Number::DoubleValue() const {
  switch (kind_) {
    case Kind::kSigned:
      return static_cast<double>(signed_);
    case Kind::kUnsigned:
      return static_cast<double>(unsigned_);
    case Kind::kReal:
      return real_;
  }
  return 0.0;
}

bool Number::EqualTo(const Object& other_object, int) const {
  const Number& other = static_cast<const Number&>(other_object);
  if (kind_ == Kind::kReal && other.kind_ == Kind::kReal) {
    // The platform's comparison counts two NaNs as equal, so a value always equals itself.
    return real_ == other.real_ || (std::isnan(real_) && std::isnan(other.real_));
  }
  if (kind_ != Kind::kReal && other.kind_ != Kind::kReal) {
    return kind_ == other.kind_ && signed_ == other.signed_ && unsigned_ == other.unsigned_;
  }
  // An integer against a real: compare the values exactly. A long double holds every 64-bit
  // integer exactly on the platforms we build for; the checks below keep that honest.
  static_assert(std::numeric_limits<long double>::digits >= 64);
  const Number& integer = kind_ == Kind::kReal ? other : *this;
  const double real = kind_ == Kind::kReal ? real_ : other.real_;
  const long double exact = integer.kind_ == Kind::kSigned
                                ? static_cast<long double>(integer.signed_)
                                : static_cast<long double>(integer.unsigned_);
  return exact == static_cast<long double>(real);
}

}  // namespace mcom::cf
