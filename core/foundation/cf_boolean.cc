#include "core/foundation/cf_boolean.h"

namespace mcom::cf {

// Made once and never destroyed, so the two objects outlive every static that refers to
// them.
Ref<Boolean> Boolean::True() {
  static const auto* const object = new Ref<Boolean>(Make<Boolean>(true));
  return *object;
}

Ref<Boolean> Boolean::False() {
  static const auto* const object = new Ref<Boolean>(Make<Boolean>(false));
  return *object;
}

bool Boolean::EqualTo(const Object& other, int) const {
  return value_ == static_cast<const Boolean&>(other).value_;
}

}  // namespace mcom::cf
