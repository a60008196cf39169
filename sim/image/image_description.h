#pragma once

// The in-memory description of a simulated disk image: its format, declared size, layout,
// partitions, APFS containers and volumes, and where each volume's files are.
//
// An image file (image_file.h) stores exactly this description. The description knows
// nothing of the machine that attaches the image: the machine translates it into its own
// disks, containers and volumes, and back when it writes an image.
//
//   ImageDescription image;
//   image.format = ImageFormat::kSparse;
//   image.size = 500'000'000'000;
//   image.layout = ImageLayout::kNone;
//   image.whole_disk.container = ImageContainer{container_uuid, {system_volume, data_volume}};
//
// Sizes are in bytes. UUIDs are written in the platform's form, 36 characters with hyphens
// after the 8th, 12th, 16th and 20th hex digit ("6A1F2C9E-5B0D-4E8C-9A37-2F1D0C4B8E61"). Upper
// and lower case hex digits are both accepted and kept as given; UUIDs are compared without
// regard to case.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"

namespace sim {

// The image formats, by the names hdiutil gives them.
//  - kSparse ("SPARSE"): read-write; the file is as long as the declared size, with holes
//    where nothing was written, so a large image takes the space of its data only.
//  - kUDZO ("UDZO"): read-only and compressed (each volume's payload is gzip-compressed).
//  - kUDRW ("UDRW"): read-write, uncompressed.
enum class ImageFormat { kSparse, kUDZO, kUDRW };

// "SPARSE", "UDZO" or "UDRW".
const char* ImageFormatName(ImageFormat format);
// Whether an attach of the format can only be read (UDZO); writes to such an image go to a
// shadow file.
bool IsReadOnlyFormat(ImageFormat format);
// The format named exactly `name` (case matters); empty for any other text.
std::optional<ImageFormat> ParseImageFormat(std::string_view name);

// How the image's disk is divided.
//  - kNone ("NONE"): no partition map; the whole disk holds one container, one volume or
//    nothing (hdiutil's -layout NONE).
//  - kGPT ("GPT"): a GUID partition map; each partition holds one container, one volume or
//    nothing.
enum class ImageLayout { kNone, kGPT };

// "NONE" or "GPT".
const char* ImageLayoutName(ImageLayout layout);
std::optional<ImageLayout> ParseImageLayout(std::string_view name);

// The file system of a volume: "apfs" (a volume of an APFS container) or "hfs" (an HFS+
// volume that fills a partition, or the whole disk of a layout-NONE image, on its own).
enum class VolumeFileSystem { kAPFS, kHFS };

// GPT partition types of the partitions images hold.
inline constexpr char kAPFSPartitionType[] = "7C3457EF-0000-11AA-AA11-00306543ECAC";
inline constexpr char kHFSPartitionType[] = "48465300-0000-11AA-AA11-00306543ECAC";
inline constexpr char kEFIPartitionType[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

const char* VolumeFileSystemName(VolumeFileSystem file_system);  // "apfs", "hfs"
std::optional<VolumeFileSystem> ParseVolumeFileSystem(std::string_view name);

// How a payload's bytes are stored: a plain pax archive, or one compressed with gzip (the
// payloads of UDZO images).
enum class PayloadCompression { kNone, kGzip };

const char* PayloadCompressionName(PayloadCompression compression);  // "none", "gzip"
std::optional<PayloadCompression> ParsePayloadCompression(std::string_view name);

// A volume's files packed into an archive (pax, with owners, modes, nanosecond times,
// symbolic links, hard links, sparse files and extended attributes by their Mac names) that
// lies in an open image or shadow file at [offset, offset + length).
//
// The file is held open, so a payload stays readable even when the image file is replaced
// (renamed over) after it was read; copies of the description share the descriptor.
struct ImagePayload {
  std::shared_ptr<const mcom::File> file;
  uint64_t offset = 0;
  uint64_t length = 0;
  PayloadCompression compression = PayloadCompression::kNone;

  friend bool operator==(const ImagePayload&, const ImagePayload&) = default;
};

// Where a volume's files are:
//  - an ImagePayload: an archive inside an image file. Reading an image gives these; writing
//    copies them into the new file as they are (compressing or decompressing them when the
//    new image's format asks for it), without unpacking.
//  - a folder (mcom::FilePath): the files themselves, for example the volume's store or mount
//    point. Writing packs the folder, its own metadata included.
using VolumeFiles = std::variant<ImagePayload, mcom::FilePath>;

struct ImageVolume {
  std::string uuid;
  std::string name;                // "Macintosh HD", "macOS Base System"
  std::vector<std::string> roles;  // "System", "Data", "Preboot", "Recovery", "VM"; may be empty
  std::string group_uuid;          // the volume group; empty when the volume is in none
  VolumeFileSystem file_system = VolumeFileSystem::kAPFS;
  VolumeFiles files;

  friend bool operator==(const ImageVolume&, const ImageVolume&) = default;
};

// An APFS container. Its physical store is the partition (or whole disk) that holds it.
struct ImageContainer {
  std::string uuid;
  std::vector<ImageVolume> volumes;  // APFS volumes, in slice order (disk2s1, disk2s2, ...)

  friend bool operator==(const ImageContainer&, const ImageContainer&) = default;
};

// What a partition, or the whole disk of a layout-NONE image, holds: nothing (a blank disk,
// an EFI partition), one APFS container, or one HFS+ volume. At most one of the two is set.
struct ImageContent {
  std::optional<ImageContainer> container;
  std::optional<ImageVolume> volume;

  friend bool operator==(const ImageContent&, const ImageContent&) = default;
};

struct ImagePartition {
  std::string type;  // the GPT type GUID, "7C3457EF-0000-11AA-AA11-00306543ECAC" for APFS
  std::string name;  // the GPT partition name; may be empty
  std::string uuid;  // the partition's own GUID
  uint64_t size = 0;
  ImageContent content;

  friend bool operator==(const ImagePartition&, const ImagePartition&) = default;
};

struct ImageDescription {
  ImageFormat format = ImageFormat::kUDRW;
  uint64_t size = 0;  // declared size: the size of the disk the image attaches as
  ImageLayout layout = ImageLayout::kNone;
  // Layout GPT only: the disk's GUID (may be empty) and the partitions in slice order
  // (s1, s2, ...).
  std::string disk_uuid;
  std::vector<ImagePartition> partitions;
  // Layout NONE only: what the whole disk holds.
  ImageContent whole_disk;

  friend bool operator==(const ImageDescription&, const ImageDescription&) = default;
};

// Limits that every description (written or read) must keep. They are far above anything
// real and keep a hostile image from asking for absurd work.
inline constexpr uint64_t kMaxImageSize = uint64_t{1} << 50;  // 1 PiB
inline constexpr size_t kMaxPartitions = 128;                 // GPT's usual table size
inline constexpr size_t kMaxVolumesPerContainer = 100;        // APFS's own limit
inline constexpr size_t kMaxRolesPerVolume = 16;
inline constexpr size_t kMaxNameLength = 255;  // bytes of a volume, partition or role name

// Why `description` is not a valid image description, or an empty string when it is. Valid:
//  - 1 <= size <= kMaxImageSize;
//  - layout NONE has no partitions and no disk UUID; layout GPT leaves whole_disk empty, has
//    at most kMaxPartitions partitions, each of a size above 0, together no larger than the
//    declared size, each with a GUID type;
//  - a content holds a container or a volume, not both; a container's volumes are "apfs"
//    (at most kMaxVolumesPerContainer of them), a volume held on its own is "hfs";
//  - every UUID is well formed (the disk's and groups' may be empty), and no partition,
//    container or volume UUID appears twice;
//  - names and roles are valid UTF-8 of at most kMaxNameLength bytes without zero bytes, roles are
//  not
//    empty and at most kMaxRolesPerVolume per volume;
//  - a volume's payload has a file, unless `payloads_may_lack_files` is set (descriptions
//    read from bytes rather than from a file); a folder path is not empty.
std::string DescriptionProblem(const ImageDescription& description,
                               bool payloads_may_lack_files = false);

// Whether `text` is a UUID in the form described at the top of this file.
bool IsWellFormedUUID(std::string_view text);

// Every volume of the description, in order: partition by partition (or the whole disk),
// each container's volumes in slice order, a partition's own volume in its place.
std::vector<const ImageVolume*> VolumesOf(const ImageDescription& description);
std::vector<ImageVolume*> VolumesOf(ImageDescription& description);

// The volume with `uuid`, or null.
const ImageVolume* FindVolume(const ImageDescription& description, std::string_view uuid);
ImageVolume* FindVolume(ImageDescription& description, std::string_view uuid);

}  // namespace sim
