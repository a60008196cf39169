#include "sim/tools/diskutil_disk_info.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/tools/diskutil_size.h"

namespace sim::tools::diskutil {
namespace {

// Writes the lines of one information block; groups are separated by one empty line.
class InfoWriter {
 public:
  explicit InfoWriter(std::ostream& out) : out_(out) {}

  InfoWriter& Line(const std::string& key, const std::string& value) {
    std::string label = key + ":";
    if (label.size() < 27) label.resize(27, ' ');
    out_ << "   " << label << value << '\n';
    return *this;
  }
  InfoWriter& Text(const std::string& text) {
    out_ << "   " << text << '\n';
    return *this;
  }
  InfoWriter& Gap() {
    out_ << '\n';
    return *this;
  }

 private:
  std::ostream& out_;
};

std::string YesNo(bool value) { return value ? "Yes" : "No"; }

constexpr const char* kNoFileSystem = "Not applicable (no file system)";

// The facts that come from the physical disk a device lives on.
struct Medium {
  std::string media_name;
  std::string protocol;
  std::string smart_status;
  std::string location;
  std::string removable;
  bool solid_state = false;
  bool read_only = false;
  bool image = false;
};

Medium MediumOf(const Model& model, mcom::DiskName name) {
  Medium medium;
  const Disk* disk = PhysicalDiskOf(model, name);
  if (disk == nullptr) return medium;
  medium.image = disk->kind == DiskKind::kImage;
  medium.media_name = medium.image                  ? "Disk Image"
                      : !disk->product_name.empty() ? disk->product_name
                                                    : disk->media_name;
  medium.protocol = medium.image ? "Disk Image" : disk->protocol;
  medium.smart_status = disk->kind == DiskKind::kInternal ? "Verified" : "Not Supported";
  medium.location = disk->kind == DiskKind::kInternal ? "Internal" : "External";
  medium.removable = disk->removable ? "Removable" : "Fixed";
  medium.solid_state = disk->medium_type == "Solid State";
  medium.read_only = !disk->writable;
  return medium;
}

void WriteIdentity(InfoWriter& info, mcom::DiskName name) {
  info.Line("Device Identifier", mcom::FormatDiskName(name))
      .Line("Device Node", "/dev/" + mcom::FormatDiskName(name))
      .Line("Whole", YesNo(!name.has_slice()))
      .Line("Part of Whole", mcom::FormatDiskName(name.Whole()));
}

void WriteNoFileSystem(InfoWriter& info) {
  info.Gap()
      .Line("Volume Name", kNoFileSystem)
      .Line("Mounted", kNoFileSystem)
      .Line("File System", "None")
      .Gap();
}

void WriteMediumFacts(InfoWriter& info, const Medium& medium) {
  info.Line("OS Can Be Installed", "No")
      .Line("Media Type", "Generic")
      .Line("Protocol", medium.protocol)
      .Line("SMART Status", medium.smart_status);
}

void WriteLocation(InfoWriter& info, const Medium& medium, bool with_virtual, bool is_virtual) {
  info.Line("Device Location", medium.location).Line("Removable Media", medium.removable).Gap();
  info.Line("Solid State", YesNo(medium.solid_state));
  if (with_virtual) info.Line("Virtual", YesNo(is_virtual || medium.image));
}

void WriteWholeDisk(const Model& model, const Disk& disk, InfoWriter& info) {
  const Medium medium = MediumOf(model, disk.name());
  WriteIdentity(info, disk.name());
  info.Line("Device / Media Name", medium.media_name);
  WriteNoFileSystem(info);
  info.Line("Content (IOContent)", disk.content.empty() ? "None" : disk.content);
  WriteMediumFacts(info, medium);
  info.Line("Disk / Partition UUID", disk.uuid).Gap();
  info.Line("Disk Size", FormatSizeWithBytes(disk.size))
      .Line("Device Block Size", std::to_string(disk.block_size) + " Bytes")
      .Gap();
  info.Line("Read-Only Media", YesNo(medium.read_only)).Line("Read-Only Volume", kNoFileSystem);
  info.Gap();
  WriteLocation(info, medium, true, false);
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(disk.name()))) {
    info.Gap().Line("APFS Container", mcom::FormatDiskName(container->name()));
  }
}

void WriteContainer(const Model& model, const Container& container, InfoWriter& info) {
  const Medium medium = MediumOf(model, container.name());
  WriteIdentity(info, container.name());
  info.Line("Device / Media Name", medium.media_name);
  WriteNoFileSystem(info);
  info.Line("Content (IOContent)", std::string(kAPFSContainerContent));
  WriteMediumFacts(info, medium);
  info.Line("Disk / Partition UUID", container.uuid).Gap();
  info.Line("Disk Size", FormatSizeWithBytes(container.size))
      .Line("Device Block Size", "4096 Bytes")
      .Gap();
  info.Line("Read-Only Media", YesNo(medium.read_only)).Line("Read-Only Volume", kNoFileSystem);
  info.Gap();
  WriteLocation(info, medium, true, true);
  info.Gap().Text("This disk is an APFS Container.  APFS Information:");
  for (const std::string& store : container.stores) info.Line("APFS Physical Store", store);
  info.Line("Fusion Drive", YesNo(container.stores.size() > 1));
}

// Volume lines shared by HFS+ and APFS volumes.
void WriteMountState(const Model& model, const Volume& volume, InfoWriter& info) {
  const std::string mount_point = MountPointOf(model, volume);
  info.Gap().Line("Volume Name", volume.name).Line("Mounted", YesNo(!mount_point.empty()));
  if (!mount_point.empty()) info.Line("Mount Point", mount_point);
  info.Gap();
}

bool IsReadOnly(const Volume& volume) {
  return !volume.writable || std::find(volume.mount_options.begin(), volume.mount_options.end(),
                                       "ro") != volume.mount_options.end();
}

void WritePartition(const Model& model, const Disk& disk, const Partition& partition,
                    InfoWriter& info) {
  const mcom::DiskName name{disk.number, partition.slice};
  const Medium medium = MediumOf(model, name);
  const Volume* volume = VolumeOnPartition(model, name);
  WriteIdentity(info, name);
  if (volume == nullptr) {
    WriteNoFileSystem(info);
    info.Line("Partition Type", PartitionTypeName(partition.type));
  } else {
    WriteMountState(model, *volume, info);
    info.Line("Partition Type", PartitionTypeName(partition.type))
        .Line("File System Personality", "Journaled HFS+")
        .Line("Type (Bundle)", "hfs")
        .Line("Name (User Visible)", "Mac OS Extended (Journaled)")
        .Line("Owners", "Enabled")
        .Gap();
  }
  WriteMediumFacts(info, medium);
  if (volume != nullptr) info.Line("Volume UUID", volume->uuid);
  info.Line("Disk / Partition UUID", partition.uuid)
      .Line("Partition Offset", std::to_string(partition.base) + " Bytes (" +
                                    std::to_string(partition.base / disk.block_size) + " " +
                                    std::to_string(disk.block_size) + "-Byte-Device-Blocks)")
      .Gap();
  info.Line("Disk Size", FormatSizeWithBytes(partition.size))
      .Line("Device Block Size", std::to_string(disk.block_size) + " Bytes")
      .Gap();
  if (volume != nullptr) {
    const uint64_t free = volume->used < partition.size ? partition.size - volume->used : 0;
    info.Line("Volume Total Space", FormatSizeWithBytes(partition.size))
        .Line("Volume Free Space", FormatSizeWithBytes(free))
        .Gap();
  }
  info.Line("Read-Only Media", YesNo(medium.read_only))
      .Line("Read-Only Volume", volume == nullptr ? kNoFileSystem : YesNo(IsReadOnly(*volume)))
      .Gap();
  WriteLocation(info, medium, false, false);
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(name))) {
    info.Gap().Line("APFS Container", mcom::FormatDiskName(container->name()));
  }
}

void WriteAPFSVolume(const Model& model, const Container& container, const Volume& volume,
                     InfoWriter& info) {
  const Medium medium = MediumOf(model, volume.disk);
  WriteIdentity(info, volume.disk);
  WriteMountState(model, volume, info);
  info.Line("Partition Type", volume.content)
      .Line("File System Personality", "APFS")
      .Line("Type (Bundle)", "apfs")
      .Line("Name (User Visible)", "APFS")
      .Line("Owners", "Enabled")
      .Gap();
  WriteMediumFacts(info, medium);
  info.Line("Volume UUID", volume.uuid).Line("Disk / Partition UUID", volume.uuid).Gap();
  info.Line("Disk Size", FormatSizeWithBytes(container.size))
      .Line("Device Block Size", "4096 Bytes")
      .Gap();
  uint64_t used = 0;
  for (const Volume* member : VolumesOfContainer(model, container.number)) used += member->used;
  info.Line("Container Total Space", FormatSizeWithBytes(container.size))
      .Line("Container Free Space",
            FormatSizeWithBytes(used < container.size ? container.size - used : 0))
      .Line("Allocation Block Size", "4096 Bytes")
      .Gap();
  info.Line("Read-Only Media", YesNo(medium.read_only))
      .Line("Read-Only Volume", YesNo(IsReadOnly(volume)))
      .Gap();
  WriteLocation(info, medium, false, false);
  info.Gap().Text("This disk is an APFS Volume.  APFS Information:");
  info.Line("APFS Container", mcom::FormatDiskName(container.name()));
  for (const std::string& store : container.stores) info.Line("APFS Physical Store", store);
  info.Line("Fusion Drive", YesNo(container.stores.size() > 1));
  if (!volume.group_uuid.empty()) info.Line("APFS Volume Group", volume.group_uuid);
  info.Line("FileVault", "No").Line("Locked", "No");
}

}  // namespace

void WriteDiskInfo(const Model& model, const DiskReference& reference, std::ostream& out) {
  InfoWriter info(out);
  const mcom::DiskName name = reference.name;
  switch (reference.kind) {
    case DiskReference::Kind::kWholeDisk:
      if (const Disk* disk = FindDisk(model, name.disk)) WriteWholeDisk(model, *disk, info);
      break;
    case DiskReference::Kind::kContainer:
      if (const Container* container = FindContainer(model, name.disk)) {
        WriteContainer(model, *container, info);
      }
      break;
    case DiskReference::Kind::kPartition: {
      const Disk* disk = FindDisk(model, name.disk);
      const Partition* partition = FindPartition(model, name);
      if (disk != nullptr && partition != nullptr) WritePartition(model, *disk, *partition, info);
      break;
    }
    case DiskReference::Kind::kVolume: {
      const Container* container = FindContainer(model, name.disk);
      const Volume* volume = FindVolume(model, name);
      if (container != nullptr && volume != nullptr) {
        WriteAPFSVolume(model, *container, *volume, info);
      }
      break;
    }
  }
}

void WriteAllDiskInfo(const Model& model, std::ostream& out) {
  using Kind = DiskReference::Kind;
  std::vector<DiskReference> references;
  for (const uint32_t number : WholeDiskNumbers(model)) {
    const mcom::DiskName whole{number};
    if (const Disk* disk = FindDisk(model, number)) {
      references.push_back({Kind::kWholeDisk, whole});
      for (const Partition& partition : disk->partitions) {
        references.push_back({Kind::kPartition, mcom::DiskName{number, partition.slice}});
      }
    } else {
      references.push_back({Kind::kContainer, whole});
      for (const Volume* volume : VolumesOfContainer(model, number)) {
        references.push_back({Kind::kVolume, volume->disk});
      }
    }
  }
  for (const DiskReference& reference : references) {
    WriteDiskInfo(model, reference, out);
    out << "\n**********\n\n";
  }
}

}  // namespace sim::tools::diskutil
