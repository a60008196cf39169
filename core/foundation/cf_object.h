#pragma once

#include <memory>
#include <utility>

#include "core/foundation/cf_ref.h"

namespace mcom::cf {

// The deepest nesting of containers (arrays and dictionaries) that the property-list reader
// accepts, the writers write and Equal compares. Real property lists nest a few levels;
// the bound keeps hostile input from exhausting the stack.
inline constexpr int kMaxNesting = 512;

// The kinds of object, the stand-in for the platform's type identifiers (CFStringGetTypeID
// and friends). Mutable and immutable variants of a container share one identifier, as on
// the platform.
enum class TypeId {
  kString,
  kNumber,
  kBoolean,
  kData,
  kDate,
  kArray,
  kDictionary,
  kURL,
  kBundle,
  kUUID,
  kError,
};

// The base of every object a cf::Ref can hold. Objects are made only through the Create
// functions of their classes and live as long as a Ref refers to them.
//
// Property-list values are String, Number, Boolean, Data, Date, Array and Dictionary; a URL,
// a Bundle, a UUID and an Error are objects too, but not property-list values.
class Object {
 public:
  // Immutable unless a class says otherwise (MutableArray, MutableDictionary).
  static constexpr bool kIsMutable = false;

  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  TypeId type_id() const { return type_id_; }

 protected:
  // Makes constructors public for std::make_shared while keeping them out of reach: only a
  // class derived from Object can make a Passkey.
  class Passkey {
   public:
    explicit Passkey() = default;
  };

  explicit Object(TypeId type_id) : type_id_(type_id) {}

  // Deep value equality of two objects of the same type id, as CFEqual. `depth_left` bounds
  // the recursion of containers: comparing deeper than that answers false.
  virtual bool EqualTo(const Object& other, int depth_left) const = 0;

  // For containers comparing their elements.
  static bool EqualWithin(const Object& left, const Object& right, int depth_left);

  template <typename T, typename... Arguments>
  static Ref<T> Make(Arguments&&... arguments) {
    return Ref<T>(std::make_shared<T>(Passkey(), std::forward<Arguments>(arguments)...));
  }

 private:
  friend bool Equal(const Ref<Object>& left, const Ref<Object>& right);

  const TypeId type_id_;
};

// Deep value equality, as CFEqual: same type and equal values; arrays element by element in
// order, dictionaries with the same keys and equal values. Numbers compare by value across
// integer and real (1 equals 1.0; NaN equals NaN). Two nulls are equal; null and an object
// are not. Values nested deeper than kMaxNesting containers compare
// unequal rather than recursing without bound.
bool Equal(const Ref<Object>& left, const Ref<Object>& right);

// The typed view: `object` as a T when its type id is T's, null otherwise (also for null).
// A value of the wrong type therefore reads as absent, never as an error:
//
//   cf::Ref<cf::String> name = cf::As<cf::String>(dictionary->GetValue("Name"));
//
// Only immutable views are offered (As<MutableDictionary> does not compile): a value found
// inside another object can never be changed through its view.
template <typename T, typename U>
requires(!T::kIsMutable) Ref<T> As(const Ref<U>& object) {
  if (!object || object->type_id() != T::kTypeId) return nullptr;
  return StaticRefCast<T>(object);
}

}  // namespace mcom::cf
