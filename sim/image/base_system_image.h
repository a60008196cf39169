#pragma once

// The recovery system's "BaseSystem.dmg": a compressed (UDZO) image with one HFS+ volume,
// "macOS Base System", the root file system of the recovery environment.

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"

namespace sim {

inline constexpr char kBaseSystemVolumeName[] = "macOS Base System";
// The partition's name in a GPT layout, the one hdiutil gives a single-partition image.
inline constexpr char kBaseSystemPartitionName[] = "disk image";
// A little below 2 GiB, so that the recovery builder's "resize -growonly" to 2g really grows
// it, as it does a real Base System image.
inline constexpr uint64_t kDefaultBaseSystemImageSize = uint64_t{1920} << 20;

struct BaseSystemImageOptions {
  // GPT: one HFS+ partition named kBaseSystemPartitionName holding the volume; NONE: the
  // volume fills the whole disk.
  ImageLayout layout = ImageLayout::kGPT;
  uint64_t size = kDefaultBaseSystemImageSize;
  // Empty UUIDs are made up at random; a machine made from a seed passes its own, so that
  // the same seed gives the same image, byte for byte.
  std::string volume_uuid;
  std::string partition_uuid;  // GPT only
  std::string disk_uuid;       // GPT only
};

// Writes a new Base System image at `destination` whose volume holds the tree at `folder`
// (the caller provides System/Library/CoreServices/SystemVersion.plist, the Utilities list,
// Applications/ and whatever else the recovery environment should hold). Throws EEXIST
// when `destination` exists, EINVAL for a bad option, and as WriteImage (image_file.h).
void MakeBaseSystemImage(const mcom::FilePath& destination, const mcom::FilePath& folder,
                         const BaseSystemImageOptions& options = {});

}  // namespace sim
