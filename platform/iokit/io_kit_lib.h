#pragma once

#include <cstdint>
#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "platform/iokit/io_return.h"

// The device registry (IOKitLib): the calls the system makes to find disks, containers and
// volumes, with IOKit's semantics. Names, arguments and statuses are IOKit's; where the
// platform takes a CFDictionaryRef or answers a CFTypeRef, these take and answer mcom::cf
// objects.
//
// On Linux the registry is the simulated Mac's: the file
// "/private/var/db/macsim/registry.plist" under the machine root (mcom::SystemPath), in the
// form `ioreg -a -l` prints. A real `ioreg -a` dump loads as well. The file is read again only
// when its identity (device, inode, size, modification time) changes, so a burst of queries
// parses it once; a machine replaces it atomically, so it may change while it is being read.
//
// Snapshots: a matching call (IOServiceGetMatchingServices, IOServiceGetMatchingService)
// reads the registry as it is at that moment; every object it leads to (the services, their
// children and parents, any iterator made from them) answers from that same registry. One
// query evaluation therefore sees one consistent registry, and a later matching call sees
// the changes the machine has made since.
//
// Without a machine (no registry file at all) the registry is empty: matching succeeds and
// finds nothing. A registry file that cannot be read or is not a registry makes the matching
// calls fail with kIOReturnError (and the reason is logged at error level once per file).
//
// Every call is thread-safe. Objects are reference counted as IOKit's are: each call that
// answers an object hands the caller one reference, which IOObjectRelease gives back.
namespace platform {

using mach_port_t = uint32_t;

// The main port argument of the matching calls; there is only the default one.
inline constexpr mach_port_t kIOMainPortDefault = 0;

// A registry object: an entry (service) or an iterator. Opaque; IO_OBJECT_NULL is none.
struct IOObject;
using io_object_t = IOObject*;
using io_registry_entry_t = io_object_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
inline constexpr io_object_t IO_OBJECT_NULL = nullptr;

// Fixed-size name buffers of IOKit's interface (io_name_t).
using io_name_t = char[128];

// The plane the registry holds. Only the service plane exists here; `ioreg -a` prints it.
inline constexpr const char* kIOServicePlane = "IOService";

// Keys of a matching dictionary.
inline constexpr std::string_view kIOProviderClassKey = "IOProviderClass";
inline constexpr std::string_view kIONameMatchKey = "IONameMatch";
inline constexpr std::string_view kIOBSDNameKey = "BSD Name";
inline constexpr std::string_view kIOPropertyMatchKey = "IOPropertyMatch";
inline constexpr std::string_view kIOPropertyExistsMatchKey = "IOPropertyExistsMatch";
inline constexpr std::string_view kIORegistryEntryIDKey = "IORegistryEntryID";
// The property through which an entry names a class other than its kernel class.
inline constexpr std::string_view kIOClassNameOverrideKey = "IOClassNameOverride";

// ---- Matching dictionaries ----
//
// A matching dictionary selects services. The keys understood are:
//   "IOProviderClass"       a class name; the service's class or one of its superclasses
//                           (on Linux the simulated Mac's class table,
//                           sim/machine/io_class_table.h; IOClassNameOverride is not
//                           consulted here, as in the kernel);
//   "IONameMatch"           a name, or an array of names: the entry's name is one of them;
//   "BSD Name"              the service's "BSD Name" property equals it;
//   "IOPropertyMatch"       a dictionary whose every key/value equals the service's
//                           property (cf::Equal), or an array of such dictionaries of which
//                           one must match;
//   "IOPropertyExistsMatch" a key, or an array of keys, that the service has as properties;
//   "IORegistryEntryID"     the entry's registry id;
//   the media keys of IOMedia ("Content", "Content Hint", "Ejectable", "Leaf", "Preferred
//   Block Size", "Removable", "Size", "Whole", "Writable"): for a service that is an IOMedia,
//   its property of that key equals the value (IOMedia's own matching), so
//   IOServiceMatching("IOMedia") with "Whole" = false added finds the partitions.
// Every key given must hold. Other keys are ignored, as IOKit ignores keys no class
// understands. The path, parent and location matching keys ("IOPathMatch", "IOParentMatch",
// "IOLocationMatch") are not supported: a matching call that uses them fails with
// kIOReturnUnsupported rather than answering too many services. Only services match: the
// registry's root entry (class IORegistryEntry) never does.

// {"IOProviderClass": class_name}. Null for a null name.
mcom::cf::Ref<mcom::cf::MutableDictionary> IOServiceMatching(const char* class_name);
// {"IONameMatch": name}. Null for a null name.
mcom::cf::Ref<mcom::cf::MutableDictionary> IOServiceNameMatching(const char* name);
// {"BSD Name": bsd_name}: the service of a BSD name ("disk1", "disk1s2"; no "/dev/" prefix),
// which for a disk is its media object. `main_port` and `options` are not used. Null for a
// null name.
mcom::cf::Ref<mcom::cf::MutableDictionary> IOBSDNameMatching(mach_port_t main_port,
                                                             uint32_t options,
                                                             const char* bsd_name);

// Every service `matching` selects, in registry order (the order of first appearance in the
// registry file, parents before their children), as a new iterator in `existing`. The
// matching dictionary is consumed, as IOKit consumes one reference to it.
//
// kIOReturnBadArgument for a null dictionary or a null `existing`; kIOReturnUnsupported for
// an unsupported matching key; kIOReturnError when the registry file cannot be read. On
// failure `existing` is IO_OBJECT_NULL.
IOReturn IOServiceGetMatchingServices(mach_port_t main_port,
                                      mcom::cf::Ref<mcom::cf::Dictionary> matching,
                                      io_iterator_t* existing);

// The first service IOServiceGetMatchingServices would yield, or IO_OBJECT_NULL when there
// is none or the call fails.
io_service_t IOServiceGetMatchingService(mach_port_t main_port,
                                         mcom::cf::Ref<mcom::cf::Dictionary> matching);

// ---- Iterators ----

// The next object of `iterator` (a new reference), or IO_OBJECT_NULL when it is exhausted
// or `iterator` is not an iterator.
io_object_t IOIteratorNext(io_iterator_t iterator);
// Starts `iterator` over from its first object.
void IOIteratorReset(io_iterator_t iterator);
// Whether the iterator is still valid. Iterators here walk a snapshot, which a change of
// the registry never invalidates: true for every iterator, false for anything else.
bool IOIteratorIsValid(io_iterator_t iterator);

// ---- Objects ----

// Adds or gives back one reference. kIOReturnBadArgument for IO_OBJECT_NULL.
IOReturn IOObjectRetain(io_object_t object);
IOReturn IOObjectRelease(io_object_t object);

// The class name of `object` into `class_name`: the entry's "IOClassNameOverride" property
// when it is a string, else its class in the registry ("IOUserIterator" for an iterator). A
// name longer than 127 bytes is cut there. kIOReturnBadArgument for a null object or buffer.
IOReturn IOObjectGetClass(io_object_t object, io_name_t class_name);

// Whether `object` is an instance of `class_name` or of a subclass of it (the class table),
// or its "IOClassNameOverride" equals `class_name`. False for a null object or name.
bool IOObjectConformsTo(io_object_t object, const char* class_name);

// Whether both are the same object or the same registry entry.
bool IOObjectIsEqualTo(io_object_t object, io_object_t another);

// ---- Registry entries ----

// An iterator over the children (parents) of `entry` in `plane`, in registry order.
// kIOReturnBadArgument when `entry` is not a registry entry, `iterator` is null or `plane`
// is not kIOServicePlane.
IOReturn IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                         io_iterator_t* iterator);
IOReturn IORegistryEntryGetParentIterator(io_registry_entry_t entry, const char* plane,
                                          io_iterator_t* iterator);

// The entry's name, cut at 127 bytes. kIOReturnBadArgument when `entry` is not an entry or
// `name` is null.
IOReturn IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);

// The entry's registry id. kIOReturnBadArgument when `entry` is not an entry or `id` is null.
IOReturn IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* id);

// The value of the entry's property `key`, shared (properties are immutable), or null when
// the entry has no such property or `entry` is not an entry. `options` is not used. The
// bookkeeping keys of the registry file (IOObjectClass, IORegistryEntryName,
// IORegistryEntryID, IORegistryEntryChildren and the like) are not properties.
mcom::cf::Ref<mcom::cf::Object> IORegistryEntryCreateCFProperty(io_registry_entry_t entry,
                                                                std::string_view key,
                                                                uint32_t options);

// The bytes of a small property in `buffer`, whose capacity is `*size` on entry and which
// holds `*size` bytes on success:
//   a string      its bytes and a terminating zero byte;
//   data          its bytes;
//   a boolean     "Yes" or "No" with a terminating zero byte;
//   an integer    8 bytes, the value in the machine's byte order.
// kIOReturnBadArgument when `entry` is not an entry, an argument is null, or the value is of
// another type (array, dictionary, date, real); kIOReturnNotFound when the entry has no such
// property; kIOReturnNoSpace when the value does not fit (`buffer` is then left unchanged).
IOReturn IORegistryEntryGetProperty(io_registry_entry_t entry, const char* property_name,
                                    char* buffer, uint32_t* size);

}  // namespace platform
