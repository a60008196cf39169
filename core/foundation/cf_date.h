#pragma once

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// Seconds from 1970-01-01 00:00:00 UTC to the platform's reference date 2001-01-01 00:00:00
// UTC (kCFAbsoluteTimeIntervalSince1970).
inline constexpr double kAbsoluteTimeIntervalSince1970 = 978307200.0;

// An immutable point in time (CFDate), held as the platform's absolute time: seconds since
// 2001-01-01 00:00:00 UTC, as a double.
class Date final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kDate;

  // CFDateCreate.
  static Ref<Date> Create(double absolute_time);
  static Ref<Date> CreateFromSecondsSince1970(double seconds) {
    return Create(seconds - kAbsoluteTimeIntervalSince1970);
  }

  // CFDateGetAbsoluteTime.
  double absolute_time() const { return absolute_time_; }
  // The absolute time plus kAbsoluteTimeIntervalSince1970.
  double SecondsSince1970() const { return absolute_time_ + kAbsoluteTimeIntervalSince1970; }

  Date(Passkey, double absolute_time) : Object(kTypeId), absolute_time_(absolute_time) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  double absolute_time_;
};

}  // namespace mcom::cf
