#pragma once

#include <string_view>

// The class hierarchy of the machine's registry: the kernel knows each object's superclass
// chain, but a registry file holds only the class names, so the chain comes from this table.
// The registry stand-in (platform/iokit) matches classes by it and `ioreg -i` prints it.
namespace sim {

// The superclass of `class_name`:
//
//   IORegistryEntry  <- IOService
//   IOService        <- IOStorage, IOBlockStorageDevice, IOMediaBSDClient
//   IOStorage        <- IOMedia, IOPartitionScheme, IOFilterScheme, IOBlockStorageDriver,
//                       AppleAPFSContainerScheme
//   IOMedia          <- AppleAPFSMedia, AppleAPFSVolume, AppleAPFSSnapshot
//   IOPartitionScheme <- IOGUIDPartitionScheme, IOApplePartitionScheme,
//                       IOFDiskPartitionScheme, AppleAPFSContainer
//   IOBlockStorageDevice <- IOHDIXHDDriveOutKernel, IONVMeBlockStorageDevice,
//                       IOAHCIBlockStorageDevice, IOBlockStorageServices
//
// Every class the table does not know is a direct subclass of IOService, as the drivers of
// devices are. IORegistryEntry (the root entry's class) has none: empty. The superclass of
// AppleAPFSContainerScheme is not published; IOStorage is our choice, so matching
// "IOStorage" finds it.
std::string_view SuperclassOf(std::string_view class_name);

// Whether `class_name` is `ancestor` or one of its subclasses.
bool ClassConformsTo(std::string_view class_name, std::string_view ancestor);

}  // namespace sim
