#pragma once

#include "platform/iokit/io_kit_lib.h"
#include "platform/posix/scoped_generic.h"

namespace mcom::iokit {

// Releases one reference to a registry object (IOObjectRelease).
struct RegistryObjectTraits {
  static platform::io_object_t InvalidValue() { return platform::IO_OBJECT_NULL; }
  static void Free(platform::io_object_t object) { platform::IOObjectRelease(object); }
};

// Owner of one reference to a registry entry (io_service_t), released on destruction.
// Move-only: predicates and mappers receive it by constant reference.
//
//   mcom::iokit::Service disk(platform::IOServiceGetMatchingService(...));   // takes over
class Service {
 public:
  Service() = default;
  // Takes over the caller's reference to `service` (which may be IO_OBJECT_NULL).
  explicit Service(platform::io_service_t service) : object_(service) {}
  // A new reference to `service`, which the caller keeps its own reference to.
  static Service Retain(platform::io_service_t service) {
    if (service != platform::IO_OBJECT_NULL) platform::IOObjectRetain(service);
    return Service(service);
  }

  platform::io_service_t get() const { return object_.get(); }
  explicit operator bool() const { return object_.is_valid(); }
  // Gives the reference up; the caller must release it.
  [[nodiscard]] platform::io_service_t release() { return object_.release(); }

 private:
  ScopedGeneric<platform::io_service_t, RegistryObjectTraits> object_;
};

// Owner of one reference to a registry iterator (io_iterator_t).
using RegistryIterator = ScopedGeneric<platform::io_iterator_t, RegistryObjectTraits>;

}  // namespace mcom::iokit
