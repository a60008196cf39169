#include "core/foundation/cf_object.h"

namespace mcom::cf {

bool Object::EqualWithin(const Object& left, const Object& right, int depth_left) {
  if (&left == &right) return true;
  if (left.type_id() != right.type_id()) return false;
  return left.EqualTo(right, depth_left);
}

bool Equal(const Ref<Object>& left, const Ref<Object>& right) {
  if (!left || !right) return !left && !right;
  return Object::EqualWithin(*left, *right, kMaxNesting);
}

}  // namespace mcom::cf
