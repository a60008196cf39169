#include "core/foundation/cf_array.h"

#include <algorithm>

namespace mcom::cf {

Ref<Array> Array::Create(Values values) {
  if (std::any_of(values.begin(), values.end(), [](const Ref<Object>& v) { return !v; })) {
    return nullptr;
  }
  return Make<Array>(std::move(values));
}

Ref<Object> Array::GetValue(size_t index) const {
  if (index >= values_.size()) return nullptr;
  return values_[index];
}

bool Array::Contains(const Ref<Object>& value) const {
  return std::any_of(values_.begin(), values_.end(),
                     [&](const Ref<Object>& element) { return Equal(element, value); });
}

Ref<Array> Array::Copy() const { return Make<Array>(values_); }

Ref<MutableArray> Array::MutableCopy() const { return Make<MutableArray>(values_); }

bool Array::EqualTo(const Object& other_object, int depth_left) const {
  const Array& other = static_cast<const Array&>(other_object);
  if (depth_left <= 0 || values_.size() != other.values_.size()) return false;
  for (size_t index = 0; index < values_.size(); ++index) {
    if (!EqualWithin(*values_[index], *other.values_[index], depth_left - 1)) return false;
  }
  return true;
}

Ref<MutableArray> MutableArray::Create() { return Make<MutableArray>(Values()); }

bool MutableArray::Insert(size_t index, Ref<Object> value) {
  if (!value || index > values_.size()) return false;
  values_.insert(values_.begin() + static_cast<ptrdiff_t>(index), std::move(value));
  return true;
}

bool MutableArray::Append(Ref<Object> value) { return Insert(values_.size(), std::move(value)); }

bool MutableArray::RemoveAt(size_t index) {
  if (index >= values_.size()) return false;
  values_.erase(values_.begin() + static_cast<ptrdiff_t>(index));
  return true;
}

}  // namespace mcom::cf
