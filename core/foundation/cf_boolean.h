#pragma once

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// A boolean (CFBoolean). There are exactly two objects, true and false, shared by everyone,
// like the platform's kCFBooleanTrue and kCFBooleanFalse.
class Boolean final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kBoolean;

  static Ref<Boolean> True();
  static Ref<Boolean> False();
  static Ref<Boolean> Get(bool value) { return value ? True() : False(); }

  bool value() const { return value_; }

  Boolean(Passkey, bool value) : Object(kTypeId), value_(value) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  bool value_;
};

}  // namespace mcom::cf
