#include "sim/tools/hdiutil_image_disks.h"

#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/foundation/scope_guard.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_arbitration_status.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mounting.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/hdiutil_commands.h"

namespace sim::tools {
namespace {

// Where GPT puts the first partition (sector 40), and the alignment of the following ones,
// as the machine's own partitioning does.
constexpr uint64_t kFirstPartitionBase = 40 * 512;
constexpr uint64_t kPartitionAlignment = 4096;

uint64_t AlignUp(uint64_t value) {
  return (value + kPartitionAlignment - 1) / kPartitionAlignment * kPartitionAlignment;
}

bool SameGUID(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// hdiutil's words for a refused mount.
std::string MountFailureText(uint32_t status) {
  switch (status) {
    case kDAReturnNotFound:
      return "No such file or directory";
    case kDAReturnBusy:
    case kDAReturnExclusiveAccess:
      return "Resource busy";
    case kDAReturnBadArgument:
      return "Invalid argument";
    case kDAReturnNotPermitted:
    case kDAReturnNotPrivileged:
      return "Operation not permitted";
    default:
      return "Input/output error";
  }
}

// Builds the machine's side of one attach; on failure removes the files of the volumes it
// made (the model itself is thrown away with the transaction).
class ImageDiskBuilder {
 public:
  ImageDiskBuilder(const mcom::FilePath& root, Model& model, const ImageAttachSpec& spec,
                   const std::vector<mcom::FilePath>& extracted)
      : root_(root), model_(model), spec_(spec), extracted_(extracted) {}

  ~ImageDiskBuilder() {
    if (done_) return;
    for (mcom::DiskName name : made_) {
      try {
        if (const Volume* volume = FindVolume(model_, name)) RemoveVolumeFiles(root_, *volume);
      } catch (const std::exception&) {
        // Best effort: the volume's files stay behind in the state folder, unreferenced.
      }
    }
  }

  ImageDiskBuilder(const ImageDiskBuilder&) = delete;
  ImageDiskBuilder& operator=(const ImageDiskBuilder&) = delete;

  uint32_t Build(const ImageDescription& description) {
    if (description.layout == ImageLayout::kNone && description.whole_disk.volume) {
      throw HdiutilFailure(
          "attach failed - an HFS+ volume filling a whole disk is not supported here");
    }
    if (VolumesOf(description).size() != extracted_.size()) {
      throw HdiutilFailure("attach failed - internal error: volumes and folders differ");
    }
    WholeDiskSpec disk_spec =
        ImageDiskSpec(spec_.image.string(), ImageFormatName(description.format), description.size,
                      spec_.read_only ? "ro" : "rw");
    disk_spec.shadow_path = spec_.shadow.string();
    disk_ = AddWholeDisk(model_, disk_spec);

    if (description.layout == ImageLayout::kGPT) {
      AddPartitions(description);
      // Slices are numbered from 1 in partition order. (Adding containers re-sorts the
      // model's disks, so no reference into them is kept across the calls.)
      for (size_t i = 0; i < description.partitions.size(); ++i) {
        AddContent(mcom::DiskName{disk_, static_cast<uint32_t>(i + 1)},
                   description.partitions[i].content);
      }
    } else {
      AddContent(mcom::DiskName{disk_}, description.whole_disk);
    }
    if (spec_.mount) MountVolumes();
    done_ = true;
    return disk_;
  }

 private:
  void AddPartitions(const ImageDescription& description) {
    uint64_t base = kFirstPartitionBase;
    uint32_t slice = 1;
    for (const ImagePartition& image_partition : description.partitions) {
      Partition partition;
      partition.slice = slice++;
      partition.type = UpperCase(image_partition.type);
      partition.name = image_partition.name;
      partition.base = base;
      partition.size = image_partition.size;
      partition.uuid = image_partition.uuid;
      partition.bsd_minor = LowestFreeBSDMinor(model_);
      partition.registry_id = AllocateRegistryIDs(model_);
      // Added at once, so that the minor number counts as used for the next partition.
      FindDisk(model_, disk_)->partitions.push_back(partition);
      base = AlignUp(base + image_partition.size);
    }
    Disk& disk = *FindDisk(model_, disk_);
    if (!description.disk_uuid.empty()) disk.uuid = description.disk_uuid;
    disk.scheme = "GPT";
    disk.content = std::string(kGUIDSchemeContent);
  }

  void AddContent(mcom::DiskName store, const ImageContent& content) {
    if (content.container) {
      const uint32_t number = CreateContainer(root_, model_, {store});
      FindContainer(model_, number)->uuid = content.container->uuid;
      for (const ImageVolume& image_volume : content.container->volumes) {
        const mcom::DiskName name =
            AddVolume(root_, model_, number,
                      VolumeSpec{image_volume.name, image_volume.roles, image_volume.group_uuid});
        PlaceVolume(name, image_volume);
      }
    } else if (content.volume) {
      const mcom::DiskName name = CreateHFSVolume(root_, model_, store, content.volume->name);
      PlaceVolume(name, *content.volume);
    }
  }

  // Gives the new volume the image's UUID and moves its extracted files into its store
  // (a rename onto the empty store folder, which it replaces).
  void PlaceVolume(mcom::DiskName name, const ImageVolume& image_volume) {
    made_.push_back(name);
    Volume& volume = *FindVolume(model_, name);
    volume.uuid = image_volume.uuid;
    const mcom::FilePath& files = extracted_.at(next_extracted_++);
    const mcom::FilePath store = VolumeStorePath(root_, volume.store);
    if (::rename(files.c_str(), store.c_str()) != 0) {
      throw HdiutilFailure(std::string("attach failed - ") + std::strerror(errno));
    }
    UpdateUsedBytes(root_, volume);
  }

  void MountVolumes() {
    if (made_.empty()) {
      if (spec_.mount_required) throw HdiutilFailure("attach failed - no mountable file systems");
      return;
    }
    if (spec_.mount_point && made_.size() != 1) {
      throw HdiutilFailure(
          "attach failed - -mountpoint is only valid for an image with one mountable volume");
    }
    MountOptions options;
    options.path = spec_.mount_point;
    options.read_only = spec_.read_only;
    options.hidden = spec_.hidden;
    for (mcom::DiskName name : made_) {
      const MountOutcome outcome = Mount(root_, model_, name, options);
      if (!outcome.ok() && spec_.mount_required) {
        throw HdiutilFailure("attach failed - " + MountFailureText(outcome.status));
      }
    }
  }

  const mcom::FilePath& root_;
  Model& model_;
  const ImageAttachSpec& spec_;
  const std::vector<mcom::FilePath>& extracted_;
  uint32_t disk_ = 0;
  size_t next_extracted_ = 0;
  std::vector<mcom::DiskName> made_;
  bool done_ = false;
};

ImageVolume DescribeVolume(const mcom::FilePath& root, const Volume& volume) {
  ImageVolume image_volume;
  image_volume.uuid = volume.uuid;
  image_volume.name = volume.name;
  image_volume.roles = volume.roles;
  image_volume.group_uuid = volume.group_uuid;
  image_volume.file_system =
      ParseVolumeFileSystem(volume.file_system).value_or(VolumeFileSystem::kAPFS);
  image_volume.files = VolumeFilesPath(root, volume);
  return image_volume;
}

ImageContent DescribeContent(const mcom::FilePath& root, const Model& model, mcom::DiskName store) {
  ImageContent content;
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(store))) {
    ImageContainer image_container;
    image_container.uuid = container->uuid;
    for (const Volume* volume : VolumesOfContainer(model, container->number)) {
      image_container.volumes.push_back(DescribeVolume(root, *volume));
    }
    content.container = std::move(image_container);
  } else if (store.has_slice()) {
    if (const Volume* volume = VolumeOnPartition(model, store)) {
      content.volume = DescribeVolume(root, *volume);
    }
  }
  return content;
}

}  // namespace

uint32_t AddImageDisks(const mcom::FilePath& root, Model& model, const ImageAttachSpec& spec,
                       const ImageDescription& description,
                       const std::vector<mcom::FilePath>& extracted) {
  ImageDiskBuilder builder(root, model, spec, extracted);
  return builder.Build(description);
}

ImageDescription DescribeImageDisk(const mcom::FilePath& root, const Model& model,
                                   const Disk& disk) {
  ImageDescription description;
  description.format = ImageFormatOfDisk(disk);
  description.size = disk.size;
  if (disk.scheme == "GPT") {
    description.layout = ImageLayout::kGPT;
    description.disk_uuid = disk.uuid;
    for (const Partition& partition : disk.partitions) {
      ImagePartition image_partition;
      image_partition.type = partition.type;
      image_partition.name = partition.name;
      image_partition.uuid = partition.uuid;
      image_partition.size = partition.size;
      image_partition.content =
          DescribeContent(root, model, mcom::DiskName{disk.number, partition.slice});
      description.partitions.push_back(std::move(image_partition));
    }
  } else {
    description.layout = ImageLayout::kNone;
    description.whole_disk = DescribeContent(root, model, disk.name());
  }
  return description;
}

ImageFormat ImageFormatOfDisk(const Disk& disk) {
  if (disk.media_name == ImageMediaName("UDZO")) return ImageFormat::kUDZO;
  if (disk.media_name == ImageMediaName("UDRW")) return ImageFormat::kUDRW;
  return ImageFormat::kSparse;
}

std::string PartitionContentHint(std::string_view type) {
  if (SameGUID(type, kAPFSPartitionGUID)) return "Apple_APFS";
  if (SameGUID(type, kHFSPartitionGUID)) return "Apple_HFS";
  if (SameGUID(type, kEFIPartitionGUID)) return "EFI";
  if (SameGUID(type, kAppleBootPartitionGUID)) return "Apple_Boot";
  return std::string(type);
}

}  // namespace sim::tools
