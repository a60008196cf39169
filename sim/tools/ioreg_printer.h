#pragma once

// The registry in the text form of `ioreg`: one line per entry, drawn as a tree,
//
//   +-o Root  <class IORegistryEntry, id 0x100000100, retain 9>
//     +-o iMac19,1  <class IOPlatformExpertDevice, id 0x100000110, registered, matched, ...>
//       | {
//       |   "model" = <"iMac19,1">
//       | }
//       |
//
// with each entry's properties between braces when asked (-l): strings quoted, numbers in
// decimal, booleans Yes/No, data as <"text"> when it holds text and as hexadecimal digits
// otherwise, arrays as ("a","b") and dictionaries as {"k"="v",...}.

#include <cstddef>
#include <iosfwd>
#include <string>

#include "core/foundation/cf_dictionary.h"

namespace sim::tools {

struct IoregOptions {
  bool properties = false;   // -l: every entry's properties
  bool inheritance = false;  // -i: the class after its superclasses
  size_t width = 0;          // -w N: lines cut after N characters; 0 for no limit
};

// Writes the tree of `root`, a registry entry in the form `ioreg -a -l` writes
// ("IOObjectClass", "IORegistryEntryName", "IORegistryEntryID", properties,
// "IORegistryEntryChildren"), to `out`. An entry with several parents is printed under each.
//
// With inheritance, the class is shown as its chain of superclasses from the root class
// down, without the base class OSObject, as ioreg builds it:
// "IORegistryEntry:IOService:IOStorage:IOMedia".
// Entries whose class is an IOService show their service state ("registered, matched,
// active, busy 0 (0 ms)"); the retain count is made up from the number of children, since a
// registry file has none.
void PrintRegistryTree(const mcom::cf::Ref<mcom::cf::Dictionary>& root, const IoregOptions& options,
                       std::ostream& out);

// A property value as ioreg prints it (see above).
std::string FormatIoregValue(const mcom::cf::Ref<mcom::cf::Object>& value);

}  // namespace sim::tools
