#pragma once

namespace mcom {

// A list of types, used to name the arguments and results of a message kind at compile time
// (mach::ArgsTraits<mcom::types<APFSContainerName, APFSContainerName>, ...>).
template <typename... T>
struct types {};

}  // namespace mcom
