#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace mcom::cf {

// Owner of one reference to a Core Foundation-style object (a property-list value, a URL, a
// bundle), or of nothing (null). It stands where the platform's code holds a CFTypeRef:
//
//   cf::Ref<cf::Dictionary> info = bundle->InfoDictionary();   // one reference
//   cf::Ref<cf::Dictionary> copy = info;                        // copying retains
//   cf::Ref<cf::Dictionary> moved = std::move(copy);            // moving transfers
//
// The destructor releases the reference; the object goes away with its last reference.
// Reference counting is atomic, so references to one object may be copied and released on
// any thread. The objects themselves follow the platform's rule: immutable ones may be read
// from several threads at once, mutable ones need the caller's own lock.
//
// A Ref<Derived> converts implicitly to a Ref<Base>. Going the other way is a typed view,
// cf::As<T> (cf_object.h), which answers null when the object is of another type.
//
// Comparing two Refs with == is not offered on purpose: the platform separates identity
// (pointer comparison) from value equality (CFEqual). Use SameObject() or cf::Equal().
template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}  // NOLINT: implicit by design, like a null pointer
  // Takes over a newly made object; used by the objects' own Create functions.
  explicit Ref(std::shared_ptr<T> object) : object_(std::move(object)) {}

  template <typename U>
  requires std::is_convertible_v<U*, T*> Ref(const Ref<U>& other)
      : object_(other.object_) {}  // NOLINT: implicit upcast
  template <typename U>
  requires std::is_convertible_v<U*, T*> Ref(Ref<U>&& other)
  noexcept : object_(std::move(other.object_)) {}  // NOLINT

  T* get() const { return object_.get(); }
  T* operator->() const { return object_.get(); }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Releases the reference; this Ref becomes null.
  void reset() { object_.reset(); }

  // Whether both refer to the very same object (the platform's pointer comparison).
  template <typename U>
  bool SameObject(const Ref<U>& other) const {
    return static_cast<const void*>(get()) == static_cast<const void*>(other.get());
  }

  friend bool operator==(const Ref& ref, std::nullptr_t) { return ref.object_ == nullptr; }

 private:
  template <typename U>
  friend class Ref;
  template <typename To, typename From>
  friend Ref<To> StaticRefCast(const Ref<From>& from);

  std::shared_ptr<T> object_;
};

// A Ref of the same object with another static type. Only for code that has checked the
// dynamic type itself (cf::As does); anything else uses cf::As.
template <typename To, typename From>
Ref<To> StaticRefCast(const Ref<From>& from) {
  return Ref<To>(std::static_pointer_cast<To>(from.object_));
}

}  // namespace mcom::cf
