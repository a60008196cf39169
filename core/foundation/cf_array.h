#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

class MutableArray;

// An ordered list of objects (CFArray). An Array made by Create, by Copy or by the
// property-list reader never changes; a MutableArray (below) is an Array that its owner may
// change, and everyone holding it as an Array sees only the reading side.
class Array : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kArray;
  using Values = std::vector<Ref<Object>>;

  // CFArrayCreate: an immutable array of `values`, in order. Null when a value is null (the
  // platform would crash on it).
  static Ref<Array> Create(Values values);

  // CFArrayGetCount.
  size_t Count() const { return values_.size(); }
  // The value at `index`; null when `index` is out of range.
  Ref<Object> GetValue(size_t index) const;
  // The value at `index` as a T; null when out of range or of another type.
  template <typename T>
  Ref<T> Get(size_t index) const {
    return As<T>(GetValue(index));
  }
  // CFArrayContainsValue over the whole array: whether some value is Equal to `value`.
  bool Contains(const Ref<Object>& value) const;

  // An immutable copy (CFArrayCreateCopy); the values themselves are shared, not copied.
  Ref<Array> Copy() const;
  // CFArrayCreateMutableCopy with no capacity limit; the values are shared, not copied.
  Ref<MutableArray> MutableCopy() const;

  const Values& values() const { return values_; }
  Values::const_iterator begin() const { return values_.begin(); }
  Values::const_iterator end() const { return values_.end(); }

  Array(Passkey, Values values) : Object(kTypeId), values_(std::move(values)) {}

 protected:
  Values values_;

 private:
  bool EqualTo(const Object& other, int depth_left) const override;
};

// An Array its owner may change (CFMutableArray). Not thread-safe: one writer, and no
// readers while it writes.
//
// Putting an array into itself, directly or through other containers, is not allowed: the
// platform forbids it too, and the values would never be released.
class MutableArray final : public Array {
 public:
  static constexpr bool kIsMutable = true;

  // An empty mutable array (CFArrayCreateMutable with no capacity limit).
  static Ref<MutableArray> Create();

  // CFArrayInsertValueAtIndex: inserts before `index` (Count() appends). Answers false and
  // changes nothing when `index` is beyond Count() or `value` is null.
  bool Insert(size_t index, Ref<Object> value);
  // CFArrayAppendValue; false and no change for a null value.
  bool Append(Ref<Object> value);
  // CFArrayRemoveValueAtIndex; false and no change when `index` is out of range.
  bool RemoveAt(size_t index);

  MutableArray(Passkey passkey, Values values) : Array(passkey, std::move(values)) {}
};

}  // namespace mcom::cf
