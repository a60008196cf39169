#pragma once

#include <cstdint>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "platform/iokit/io_return.h"

// The APFS space query (APFSContainerGetSpaceInfo), answered on Linux from the machine's
// registry (io_kit_lib.h): the container's AppleAPFSMedia and AppleAPFSContainer entries.
namespace platform {

// What the query fills in. The size is the record's first 64-bit field.
struct APFSContainerSpaceInfo {
  uint64_t size = 0;  // the container's capacity in bytes
  uint64_t free = 0;  // bytes not in use by any volume
};

// Fills `info` for the container whose synthesized disk has the BSD name `bsd_name` ("disk1";
// no "/dev/" prefix). That disk is an AppleAPFSMedia with an AppleAPFSContainer child; the
// size is the container's "Size" (the media's when the container has none) and the free
// space the container's "ContainerFree" (0 when absent).
//
// Statuses: kIOReturnBadArgument for a null name or record or non-zero `flags` (no flag is
// defined); kIOReturnNoDevice when no disk has that BSD name; kIOReturnNotFound when the disk
// is not a container's synthesized disk (a physical store, a volume, a whole disk) or the
// registry holds no size for it; kIOReturnError when the registry file cannot be read. On
// failure `info` is left as it was.
IOReturn APFSContainerGetSpaceInfo(const char* bsd_name, APFSContainerSpaceInfo* info,
                                   uint32_t flags);

// The extended space query (APFSExtendedSpaceInfo) of the container whose synthesized disk
// has the BSD name `bsd_name`: a dictionary keyed by BSD name. The container's own entry
// holds "size" and "used" (bytes; used = size - free of APFSContainerGetSpaceInfo), each of
// its volumes' entry holds "fs_used" (the bytes the volume's file system uses).
//
// On Linux the container's counts come from the registry as APFSContainerGetSpaceInfo
// reads them, and the volumes' use from the machine's volumes. Statuses and failures are
// those of APFSContainerGetSpaceInfo (kIOReturnBadArgument also for a null `info`); on
// failure `info` is left as it was.
IOReturn APFSExtendedSpaceInfo(const char* bsd_name, mcom::cf::Ref<mcom::cf::Dictionary>* info);

}  // namespace platform
