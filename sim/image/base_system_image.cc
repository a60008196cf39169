#include "sim/image/base_system_image.h"

#include <stdio.h>
#include <sys/random.h>

#include <cinttypes>

#include "platform/posix/posix_error.h"
#include "sim/image/image_file.h"
#include "sim/image/image_file_format.h"

namespace sim {
namespace {

using image_internal::Fail;

// A random (version 4) UUID in upper case, as the platform prints them.
std::string RandomUUID() {
  uint8_t bytes[16];
  if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
    Fail(mcom::LastError(), "cannot make a UUID");
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::string OrRandom(const std::string& uuid) { return uuid.empty() ? RandomUUID() : uuid; }

}  // namespace

void MakeBaseSystemImage(const mcom::FilePath& destination, const mcom::FilePath& folder,
                         const BaseSystemImageOptions& options) {
  ImageVolume volume;
  volume.uuid = OrRandom(options.volume_uuid);
  volume.name = kBaseSystemVolumeName;
  volume.file_system = VolumeFileSystem::kHFS;
  volume.files = folder;

  ImageDescription description;
  description.format = ImageFormat::kUDZO;
  description.size = options.size;
  description.layout = options.layout;
  if (options.layout == ImageLayout::kGPT) {
    description.disk_uuid = OrRandom(options.disk_uuid);
    ImagePartition partition;
    partition.type = kHFSPartitionType;
    partition.name = kBaseSystemPartitionName;
    partition.uuid = OrRandom(options.partition_uuid);
    partition.size = options.size;
    partition.content.volume = std::move(volume);
    description.partitions.push_back(std::move(partition));
  } else {
    if (!options.disk_uuid.empty() || !options.partition_uuid.empty()) {
      Fail(std::make_error_code(std::errc::invalid_argument),
           destination.string() + ": a layout-NONE image has no disk or partition UUID");
    }
    description.whole_disk.volume = std::move(volume);
  }
  WriteImage(description, destination, ExistingImage::kRefuse);
}

}  // namespace sim
