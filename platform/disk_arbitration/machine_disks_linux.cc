#if !defined(__linux__)
#error "machine_disks_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include "platform/disk_arbitration/machine_disks_linux.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/cf_uuid.h"
#include "sim/machine/machine.h"
#include "sim/machine/mount_table.h"

namespace platform::da_internal {
namespace {

namespace cf = mcom::cf;

// The major number of every disk device on the Mac, and the block size of APFS media.
constexpr int64_t kDiskMajor = 1;
constexpr int64_t kAPFSBlockSize = 4096;
constexpr const char* kDataVolumePath = "System/Volumes/Data";

cf::Ref<cf::Dictionary> MediaIcon(const sim::Disk& disk) {
  const char* file = "Internal.icns";
  if (disk.kind != sim::DiskKind::kInternal) {
    file = disk.removable ? "Removable.icns" : "External.icns";
  }
  cf::Ref<cf::MutableDictionary> icon = cf::MutableDictionary::Create();
  icon->SetValue("CFBundleIdentifier", cf::String::Create("com.apple.iokit.IOStorageFamily"));
  icon->SetValue("IOBundleResourceFile", cf::String::Create(file));
  return icon;
}

// What every kind of disk fills in; the rest comes from its physical disk.
struct Media {
  std::string name;
  uint64_t size = 0;
  int64_t block_size = 512;
  uint32_t minor = 0;
  bool whole = false;
  bool leaf = false;
  bool writable = false;
  std::string content;
  std::string uuid;
  const sim::Disk* physical = nullptr;  // the disk whose device it lives on
  const sim::Volume* volume = nullptr;  // the volume it holds, if any
};

class Describer {
 public:
  Describer(const sim::Model& model, const mcom::FilePath& root) : model_(model), root_(root) {}

  cf::Ref<cf::Dictionary> Describe(mcom::DiskName name) {
    const std::optional<Media> media = MediaOf(name);
    if (!media) return nullptr;
    description_ = cf::MutableDictionary::Create();
    String(kDADiskDescriptionMediaBSDNameKey, mcom::FormatDiskName(name));
    Integer(kDADiskDescriptionMediaBSDMajorKey, kDiskMajor);
    Integer(kDADiskDescriptionMediaBSDMinorKey, media->minor);
    Integer(kDADiskDescriptionMediaBSDUnitKey, name.disk);
    String(kDADiskDescriptionMediaKindKey, "IOMedia");
    String(kDADiskDescriptionMediaNameKey, media->name);
    Number(kDADiskDescriptionMediaSizeKey, cf::Number::CreateUnsigned(media->size));
    Integer(kDADiskDescriptionMediaBlockSizeKey, media->block_size);
    Bool(kDADiskDescriptionMediaWholeKey, media->whole);
    Bool(kDADiskDescriptionMediaLeafKey, media->leaf);
    Bool(kDADiskDescriptionMediaWritableKey, media->writable);
    String(kDADiskDescriptionMediaContentKey, media->content);
    if (cf::Ref<cf::UUID> uuid = cf::UUID::CreateFromString(media->uuid)) {
      description_->SetValue(kDADiskDescriptionMediaUUIDKey, uuid);
    }
    if (media->physical != nullptr) DescribeDevice(*media->physical);
    if (media->volume != nullptr) DescribeVolume(*media->volume);
    return description_;
  }

 private:
  std::optional<Media> MediaOf(mcom::DiskName name) const {
    Media media;
    if (!name.has_slice()) {
      if (const sim::Disk* disk = sim::FindDisk(model_, name.disk)) {
        const bool has_children =
            disk->scheme == "GPT" ||
            sim::ContainerOnStore(model_, mcom::FormatDiskName(name)) != nullptr;
        media.name = disk->media_name;
        media.size = disk->size;
        media.block_size = disk->block_size;
        media.minor = disk->bsd_minor;
        media.whole = true;
        media.leaf = !has_children;
        media.writable = disk->writable;
        media.content = disk->content;
        media.uuid = disk->uuid;
        media.physical = disk;
        return media;
      }
      if (const sim::Container* container = sim::FindContainer(model_, name.disk)) {
        media.name = "AppleAPFSMedia";
        media.size = container->size;
        media.block_size = kAPFSBlockSize;
        media.minor = container->bsd_minor;
        media.whole = true;
        media.leaf = false;
        media.content = std::string(sim::kAPFSContainerContent);
        media.uuid = container->uuid;
        for (uint32_t number : sim::PhysicalDisksOf(model_, name)) {
          if (const sim::Disk* disk = sim::FindDisk(model_, number)) {
            if (media.physical == nullptr) media.physical = disk;
            media.writable = media.writable || disk->writable;
          }
        }
        return media;
      }
      return std::nullopt;
    }
    if (const sim::Partition* partition = sim::FindPartition(model_, name)) {
      const sim::Disk* disk = sim::FindDisk(model_, name.disk);
      media.name = partition->name.empty() ? std::string("Untitled") : partition->name;
      media.size = partition->size;
      media.block_size = disk->block_size;
      media.minor = partition->bsd_minor;
      media.whole = false;
      media.leaf = sim::ContainerOnStore(model_, mcom::FormatDiskName(name)) == nullptr;
      media.writable = disk->writable;
      media.content = partition->type;
      media.uuid = partition->uuid;
      media.physical = disk;
      media.volume = sim::VolumeOnPartition(model_, name);
      return media;
    }
    if (const sim::Volume* volume = sim::FindVolume(model_, name)) {
      const sim::Container* container = sim::FindContainer(model_, name.disk);
      if (container == nullptr) return std::nullopt;
      media.name = volume->name;
      media.size = container->size;
      media.block_size = kAPFSBlockSize;
      media.minor = volume->bsd_minor;
      media.whole = false;
      media.leaf = true;
      media.writable = volume->writable;
      media.content = volume->content;
      media.uuid = volume->uuid;
      const std::vector<uint32_t> disks = sim::PhysicalDisksOf(model_, name);
      if (!disks.empty()) media.physical = sim::FindDisk(model_, disks.front());
      media.volume = volume;
      return media;
    }
    return std::nullopt;
  }

  void DescribeDevice(const sim::Disk& disk) {
    String(kDADiskDescriptionDeviceProtocolKey, disk.protocol);
    // The platform leaves the key out for any location but these two (a disk image's is
    // "File").
    if (disk.location == "Internal" || disk.location == "External") {
      Bool(kDADiskDescriptionDeviceInternalKey, disk.location == "Internal");
    }
    if (!disk.product_name.empty()) String(kDADiskDescriptionDeviceModelKey, disk.product_name);
    if (!disk.vendor_name.empty()) String(kDADiskDescriptionDeviceVendorKey, disk.vendor_name);
    Bool(kDADiskDescriptionMediaRemovableKey, disk.removable);
    Bool(kDADiskDescriptionMediaEjectableKey, disk.ejectable);
    description_->SetValue(kDADiskDescriptionMediaIconKey, MediaIcon(disk));
  }

  void DescribeVolume(const sim::Volume& volume) {
    String(kDADiskDescriptionVolumeKindKey, volume.file_system);
    String(kDADiskDescriptionVolumeNameKey, volume.name);
    String(kDADiskDescriptionVolumeTypeKey,
           volume.file_system == "apfs" ? "APFS" : "Mac OS Extended (Journaled)");
    Bool(kDADiskDescriptionVolumeMountableKey, true);
    Bool(kDADiskDescriptionVolumeNetworkKey, false);
    if (cf::Ref<cf::UUID> uuid = cf::UUID::CreateFromString(volume.uuid)) {
      description_->SetValue(kDADiskDescriptionVolumeUUIDKey, uuid);
    }
    std::optional<mcom::FilePath> path;
    if (&volume == sim::RunningSystemVolume(model_)) {
      path = root_;
    } else if (&volume == sim::RunningDataVolume(model_)) {
      path = root_.Join(kDataVolumePath);
    } else if (volume.is_mounted()) {
      path = mcom::FilePath(volume.mount_point);
    }
    if (path) {
      if (cf::Ref<cf::URL> url = cf::URLFromPath(*path, /*is_directory=*/true)) {
        description_->SetValue(kDADiskDescriptionVolumePathKey, url);
      }
    }
  }

  void String(std::string_view key, const std::string& value) {
    if (cf::Ref<cf::String> string = cf::String::Create(value)) {
      description_->SetValue(key, string);
    }
  }
  void Integer(std::string_view key, int64_t value) {
    description_->SetValue(key, cf::Number::CreateInteger(value));
  }
  void Number(std::string_view key, cf::Ref<cf::Number> value) {
    description_->SetValue(key, std::move(value));
  }
  void Bool(std::string_view key, bool value) {
    description_->SetValue(key, cf::Boolean::Get(value));
  }

  const sim::Model& model_;
  const mcom::FilePath& root_;
  cf::Ref<cf::MutableDictionary> description_;
};

bool SameDirectory(const struct stat& left, const mcom::FilePath& path) {
  struct stat right {};
  return ::stat(path.c_str(), &right) == 0 && S_ISDIR(right.st_mode) &&
         left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

}  // namespace

std::optional<sim::Model> ReadMachine(const mcom::FilePath& root) {
  try {
    return sim::Machine(root).Read();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool HasDisk(const sim::Model& model, mcom::DiskName name) {
  if (!name.has_slice()) {
    return sim::FindDisk(model, name.disk) != nullptr ||
           sim::FindContainer(model, name.disk) != nullptr;
  }
  return sim::FindPartition(model, name) != nullptr || sim::FindVolume(model, name) != nullptr;
}

std::vector<DiskIdentity> ListDisks(const sim::Model& model) {
  std::vector<DiskIdentity> disks;
  for (const sim::Disk& disk : model.disks) {
    disks.push_back({disk.name(), disk.registry_id});
    for (const sim::Partition& partition : disk.partitions) {
      disks.push_back({mcom::DiskName{disk.number, partition.slice}, partition.registry_id});
    }
  }
  for (const sim::Container& container : model.containers) {
    disks.push_back({container.name(), container.registry_id});
  }
  for (const sim::Volume& volume : model.volumes) {
    // An HFS+ volume is its partition, listed above.
    if (sim::FindPartition(model, volume.disk) == nullptr) {
      disks.push_back({volume.disk, volume.registry_id});
    }
  }
  std::sort(disks.begin(), disks.end());
  return disks;
}

mcom::cf::Ref<mcom::cf::Dictionary> DescribeDisk(const sim::Model& model,
                                                 const mcom::FilePath& root, mcom::DiskName name) {
  return Describer(model, root).Describe(name);
}

std::optional<mcom::DiskName> VolumeMountedAt(const sim::Model& model, const mcom::FilePath& root,
                                              const mcom::FilePath& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) return std::nullopt;
  if (SameDirectory(target, root)) {
    if (const sim::Volume* system = sim::RunningSystemVolume(model)) return system->disk;
    return std::nullopt;
  }
  if (SameDirectory(target, root.Join(kDataVolumePath))) {
    if (const sim::Volume* data = sim::RunningDataVolume(model)) return data->disk;
    return std::nullopt;
  }
  for (const sim::Volume& volume : model.volumes) {
    if (volume.is_mounted() && !sim::IsRunningSystemVolume(model, volume) &&
        SameDirectory(target, mcom::FilePath(volume.mount_point))) {
      return volume.disk;
    }
  }
  return std::nullopt;
}

std::optional<mcom::DiskName> ParseDiskName(std::string_view name) {
  if (name.starts_with("/dev/")) name.remove_prefix(5);
  return mcom::ParseDiskName(name);
}

}  // namespace platform::da_internal
