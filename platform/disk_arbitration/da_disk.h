#pragma once

#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_url.h"
#include "platform/disk_arbitration/da_session.h"
#include "platform/iokit/io_kit_lib.h"

// Disks of the disk-arbitration service (DADisk.h): a whole disk, a partition, an APFS
// container's synthesized disk or a volume, named by its BSD name, and its description.
namespace platform {

// A disk. Opaque; reference counted (CFRetain and CFRelease below); thread-safe. It belongs
// to the session it was made in, which it keeps alive.
struct DADisk;
using DADiskRef = DADisk*;

// The keys of a disk's description. The volume keys are present for a disk that holds a
// volume (an APFS volume, an HFS+ partition), DAVolumePath only while it is mounted; the
// device keys and the icon come from the physical disk the disk lives on.
//
// Strings: the file-system kind ("apfs", "hfs"), the volume's name and type ("APFS"), the
// BSD name without "/dev/" ("disk3s1"), the IOMedia "Content", the media kind ("IOMedia"),
// the registry name of the media ("APPLE SSD AP0512M Media", a partition's or a volume's
// name), the device's model, protocol ("PCI-Express", "SATA", "USB", "Virtual Interface" for
// disk images) and vendor.
inline constexpr std::string_view kDADiskDescriptionVolumeKindKey = "DAVolumeKind";
inline constexpr std::string_view kDADiskDescriptionVolumeNameKey = "DAVolumeName";
inline constexpr std::string_view kDADiskDescriptionVolumeTypeKey = "DAVolumeType";
inline constexpr std::string_view kDADiskDescriptionMediaBSDNameKey = "DAMediaBSDName";
inline constexpr std::string_view kDADiskDescriptionMediaContentKey = "DAMediaContent";
inline constexpr std::string_view kDADiskDescriptionMediaKindKey = "DAMediaKind";
inline constexpr std::string_view kDADiskDescriptionMediaNameKey = "DAMediaName";
inline constexpr std::string_view kDADiskDescriptionDeviceModelKey = "DADeviceModel";
inline constexpr std::string_view kDADiskDescriptionDeviceProtocolKey = "DADeviceProtocol";
inline constexpr std::string_view kDADiskDescriptionDeviceVendorKey = "DADeviceVendor";
// Numbers: block size, BSD major, minor and unit, and the media's size in bytes.
inline constexpr std::string_view kDADiskDescriptionMediaBlockSizeKey = "DAMediaBlockSize";
inline constexpr std::string_view kDADiskDescriptionMediaBSDMajorKey = "DAMediaBSDMajor";
inline constexpr std::string_view kDADiskDescriptionMediaBSDMinorKey = "DAMediaBSDMinor";
inline constexpr std::string_view kDADiskDescriptionMediaBSDUnitKey = "DAMediaBSDUnit";
inline constexpr std::string_view kDADiskDescriptionMediaSizeKey = "DAMediaSize";
// Booleans. DADeviceInternal is true for an internal device, false for an external one and
// absent otherwise (disk images, whose location is "File").
inline constexpr std::string_view kDADiskDescriptionVolumeMountableKey = "DAVolumeMountable";
inline constexpr std::string_view kDADiskDescriptionVolumeNetworkKey = "DAVolumeNetwork";
inline constexpr std::string_view kDADiskDescriptionMediaEjectableKey = "DAMediaEjectable";
inline constexpr std::string_view kDADiskDescriptionMediaLeafKey = "DAMediaLeaf";
inline constexpr std::string_view kDADiskDescriptionMediaRemovableKey = "DAMediaRemovable";
inline constexpr std::string_view kDADiskDescriptionMediaWholeKey = "DAMediaWhole";
inline constexpr std::string_view kDADiskDescriptionMediaWritableKey = "DAMediaWritable";
inline constexpr std::string_view kDADiskDescriptionDeviceInternalKey = "DADeviceInternal";
// A URL: the mount point as a directory URL ("file:///Volumes/Untitled/").
inline constexpr std::string_view kDADiskDescriptionVolumePathKey = "DAVolumePath";
// UUIDs (mcom::cf::UUID): the volume's and the media's.
inline constexpr std::string_view kDADiskDescriptionVolumeUUIDKey = "DAVolumeUUID";
inline constexpr std::string_view kDADiskDescriptionMediaUUIDKey = "DAMediaUUID";
// A dictionary: the IOMedia "IOMediaIcon" ("CFBundleIdentifier", "IOBundleResourceFile").
inline constexpr std::string_view kDADiskDescriptionMediaIconKey = "DAMediaIcon";

// ---- Making disks ----
// Each returns a new disk with one reference for the caller, or null.

// The disk `name` ("disk2s1"; a leading "/dev/" is allowed), or null for a null session or
// name (DADiskCreateFromBSDName). The disk object is made whatever the name; its BSD name
// (DADiskGetBSDName) is set only when the machine has such a disk at this moment.
DADiskRef DADiskCreateFromBSDName(DASessionRef session, const char* name);

// The disk of the registry media object `media`: an IOMedia with a "BSD Name"
// (DADiskCreateFromIOMedia). Null for a null session, an object that is not an IOMedia or
// has no BSD name, or a media the machine does not know.
DADiskRef DADiskCreateFromIOMedia(DASessionRef session, io_service_t media);

// The disk of the volume mounted at `path`, a file URL (DADiskCreateFromVolumePath). The
// machine root's own path (mcom::SystemPath("/")) is the running system's System volume, and
// "/System/Volumes/Data" under the root its Data volume; any other path gives the volume
// mounted exactly there. Paths are compared by the directory they name, so another spelling
// of a mount point (through a symbolic link) finds the volume as well. Null for a null
// session or URL, a path that is not a mount point, or a machine without such a volume.
DADiskRef DADiskCreateFromVolumePath(DASessionRef session,
                                     const mcom::cf::Ref<mcom::cf::URL>& path);

// ---- Reading disks ----

// The BSD name ("disk2s1"), or null when the disk had none when it was made. The text lives
// as long as the disk.
const char* DADiskGetBSDName(DADiskRef disk);

// The whole disk of `disk` (DADiskCopyWholeDisk): diskN for diskNsM (an APFS volume's whole
// disk is its container's synthesized disk), the disk itself for a whole disk. Null when the
// disk has no BSD name or the whole disk no longer exists.
DADiskRef DADiskCopyWholeDisk(DADiskRef disk);

// The disk's description as it is now (DADiskCopyDescription): the keys above. A disk that
// was reported by a disappeared callback keeps the description it had when it went; another
// disk that is gone, or has no BSD name, has none (null).
mcom::cf::Ref<mcom::cf::Dictionary> DADiskCopyDescription(DADiskRef disk);

// The disk's IOMedia in the registry, with one reference for the caller
// (DADiskCopyIOMedia); IO_OBJECT_NULL when the registry has none.
io_service_t DADiskCopyIOMedia(DADiskRef disk);

// One more reference to `disk` (returned), or one less. Null is ignored.
DADiskRef CFRetain(DADiskRef disk);
void CFRelease(DADiskRef disk);

}  // namespace platform
