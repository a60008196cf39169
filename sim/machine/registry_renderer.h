#pragma once

#include <string>
#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "sim/machine/model.h"

namespace sim {

// The device registry of the model in `ioreg -a -l` form: the root dictionary
// ("IORegistryEntryName" "Root", class "IORegistryEntry") and everything below it. The
// machine writes it to registry.plist after every change; the platform's IOKit stand-in
// reads that file.
//
// Shape (class, then entry name; properties with their real types):
//
//   IORegistryEntry "Root"
//   └ IOPlatformExpertDevice "<model>"                 model (data, zero-terminated)
//     ├ AppleT2Controller "Apple T2 Controller"        (Macs with a T2 controller only)
//     ├ <device class> "<device class>"                 one per internal or external disk:
//     │ │                                               Protocol Characteristics = {Physical
//     │ │                                               Interconnect, Physical Interconnect
//     │ │                                               Location}, Device Characteristics =
//     │ │                                               {Vendor Name, Product Name, Medium Type}
//     │ └ IOBlockStorageDriver
//     │   └ IOMedia "<media name>"                      the whole disk: BSD Name/Major/Minor/
//     │     │                                           Unit, Whole, Leaf, Content, Size,
//     │     │                                           Preferred Block Size, Writable,
//     │     │                                           Removable, Ejectable, Open, UUID,
//     │     │                                           IOMediaIcon, TierType (Fusion members)
//     │     └ IOGUIDPartitionScheme                     (GPT disks)
//     │       └ IOMedia "<name>@<slice>"                partitions: Content = Content Hint =
//     │         │                                       type GUID, Partition ID, Base, Size,
//     │         │                                       UUID, GPT Attributes, Whole false
//     │         └ AppleAPFSContainerScheme              (APFS physical stores)
//     │           └ AppleAPFSMedia                      the container's disk: Whole true,
//     │             │                                   Content EF57347C-…, Size
//     │             └ AppleAPFSContainer                Size, ContainerFree, UUID
//     │               └ AppleAPFSVolume "<name>@<slice>"  BSD Name, Whole false, Leaf true,
//     │                                                 Content, UUID, Role (array; absent
//     │                                                 without a role), VolGroupUUID,
//     │                                                 Status, Size, Writable, FormattedBy
//     └ IOHDIXController
//       └ IOHDIXHDDriveOutKernel                        one per attached image: Protocol
//         └ IOBlockStorageDriver → IOMedia → …          Characteristics {"Virtual Interface",
//                                                       "File"}, image-path (data)
//
// A disk without a partition scheme that is an APFS store (a layout-NONE image, a blank
// disk made a container) has the AppleAPFSContainerScheme directly under its whole media.
// A Fusion container's AppleAPFSContainerScheme, with everything below it, appears under
// each of its stores with the same IORegistryEntryIDs; readers merge entries by id.
//
// The device classes are IONVMeBlockStorageDevice ("PCI-Express"), IOAHCIBlockStorageDevice
// ("SATA"), IOBlockStorageServices ("USB"), IOHDIXHDDriveOutKernel ("Virtual Interface") and
// IOBlockStorageDevice for anything else; all of them are IOBlockStorageDevices in the
// platform's class table.
mcom::cf::Ref<mcom::cf::Dictionary> RenderRegistry(const Model& model);

// The registry class of the block storage device of a disk with `protocol`.
std::string_view DeviceClassForProtocol(std::string_view protocol);

}  // namespace sim
