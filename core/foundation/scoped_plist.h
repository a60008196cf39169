#pragma once

#include <plist/plist.h>

#include <cstdlib>

#include "platform/posix/scoped_generic.h"

// Owner types for libplist, the library under the property-list reader. Only the reader and
// the tests include this header; the rest of the system sees cf:: objects.
namespace mcom::cf {

struct PlistNodeTraits {
  static plist_t InvalidValue() { return nullptr; }
  static void Free(plist_t node) { plist_free(node); }
};
// Owner of a root libplist node and everything under it.
using ScopedPlist = ScopedGeneric<plist_t, PlistNodeTraits>;

// Owner of memory libplist hands out with malloc (strings, keys, data, serialised output,
// iterators).
struct MallocTraits {
  static void* InvalidValue() { return nullptr; }
  static void Free(void* memory) { std::free(memory); }
};
using ScopedMalloc = ScopedGeneric<void*, MallocTraits>;

}  // namespace mcom::cf
