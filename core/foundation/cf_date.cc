#include "core/foundation/cf_date.h"

#include <cmath>

namespace mcom::cf {

Ref<Date> Date::Create(double absolute_time) { return Make<Date>(absolute_time); }

bool Date::EqualTo(const Object& other, int) const {
  const double other_time = static_cast<const Date&>(other).absolute_time_;
  return absolute_time_ == other_time || (std::isnan(absolute_time_) && std::isnan(other_time));
}

}  // namespace mcom::cf
