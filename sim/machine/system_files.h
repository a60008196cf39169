#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// The files that make a volume a Mac system or recovery volume, added on top of the
// generated contents (volume_contents.h). Every file gets fixed times, so the same machine
// description always gives the same files (the recovery image aside, whose archive records
// when it was written).
namespace sim {

// Writes System/Library/CoreServices/SystemVersion.plist below `volume` with the facts'
// product name, version and build (ProductBuildVersion, ProductCopyright, ProductName,
// ProductUserVisibleVersion, ProductVersion).
void WriteSystemVersion(const mcom::FilePath& volume, const Facts& facts);

// Writes the Base System's tree into `folder`: SystemVersion.plist,
// "System/Installation/CDIS/macOS Utilities.app/Contents/Resources/Utilities.plist" with a
// "Buttons" array, and an empty Applications/.
void WriteBaseSystemTree(const mcom::FilePath& folder, const Facts& facts);

// Makes the recovery system on a Recovery volume: the folder `folder_name` (a UUID, as macOS
// names it after the system's volume group) holding "BaseSystem.dmg" (a UDZO image of the
// Base System tree), "boot.efi" and "prelinkedkernel". The Base System tree is put
// together in a new folder inside `scratch` (the machine's images folder), removed again
// afterwards.
void WriteRecoverySystem(const mcom::FilePath& volume, const std::string& folder_name,
                         const Facts& facts, const mcom::FilePath& scratch);

}  // namespace sim
