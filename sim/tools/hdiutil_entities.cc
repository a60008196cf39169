#include "sim/tools/hdiutil_entities.h"

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_string.h"
#include "sim/tools/hdiutil_image_disks.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

std::string DevEntry(mcom::DiskName name) { return "/dev/" + mcom::FormatDiskName(name); }

SystemEntity WholeDiskEntity(const Disk& disk) {
  return SystemEntity{DevEntry(disk.name()), disk.content, disk.content, false, {}, {}};
}

SystemEntity ContainerEntity(const Container& container) {
  const std::string content(kAPFSContainerContent);
  return SystemEntity{DevEntry(container.name()), content, content, false, {}, {}};
}

SystemEntity VolumeEntity(const Volume& volume, std::string content_hint) {
  SystemEntity entity;
  entity.dev_entry = DevEntry(volume.disk);
  entity.content_hint = std::move(content_hint);
  entity.unmapped_content_hint = volume.content;
  entity.potentially_mountable = true;
  entity.mount_point = volume.mount_point;
  if (volume.is_mounted()) entity.volume_kind = volume.file_system;
  return entity;
}

// The containers stored on the disk, in the order of their stores.
std::vector<const Container*> ContainersOn(const Model& model, const Disk& disk) {
  std::vector<const Container*> containers;
  if (disk.scheme == "GPT") {
    for (const Partition& partition : disk.partitions) {
      const mcom::DiskName name{disk.number, partition.slice};
      if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(name))) {
        containers.push_back(container);
      }
    }
  } else if (const Container* container =
                 ContainerOnStore(model, mcom::FormatDiskName(disk.name()))) {
    containers.push_back(container);
  }
  return containers;
}

enum class EntityForm { kAttach, kInfo };

std::vector<SystemEntity> Entities(const Model& model, uint32_t number, EntityForm form) {
  std::vector<SystemEntity> entities;
  const Disk* disk = FindDisk(model, number);
  if (disk == nullptr) return entities;
  entities.push_back(WholeDiskEntity(*disk));
  for (const Partition& partition : disk->partitions) {
    const mcom::DiskName name{disk->number, partition.slice};
    const std::string hint =
        form == EntityForm::kAttach ? PartitionContentHint(partition.type) : partition.type;
    if (const Volume* volume = VolumeOnPartition(model, name)) {
      entities.push_back(VolumeEntity(*volume, hint));
    } else {
      entities.push_back(SystemEntity{DevEntry(name), hint, partition.type, false, {}, {}});
    }
  }
  for (const Container* container : ContainersOn(model, *disk)) {
    if (form == EntityForm::kInfo) entities.push_back(ContainerEntity(*container));
    for (const Volume* volume : VolumesOfContainer(model, container->number)) {
      entities.push_back(VolumeEntity(*volume, volume->content));
    }
    if (form == EntityForm::kAttach) entities.push_back(ContainerEntity(*container));
  }
  return entities;
}

}  // namespace

std::vector<SystemEntity> AttachEntities(const Model& model, uint32_t disk) {
  return Entities(model, disk, EntityForm::kAttach);
}

std::vector<SystemEntity> InfoEntities(const Model& model, uint32_t disk) {
  return Entities(model, disk, EntityForm::kInfo);
}

cf::Ref<cf::Dictionary> AttachEntityDictionary(const SystemEntity& entity) {
  cf::Dictionary::Entries entries;
  entries["content-hint"] = cf::String::Create(entity.content_hint);
  entries["dev-entry"] = cf::String::Create(entity.dev_entry);
  entries["potentially-mountable"] = cf::Boolean::Get(entity.potentially_mountable);
  entries["unmapped-content-hint"] = cf::String::Create(entity.unmapped_content_hint);
  if (!entity.mount_point.empty()) {
    entries["mount-point"] = cf::String::Create(entity.mount_point);
    entries["volume-kind"] = cf::String::Create(entity.volume_kind);
  }
  return cf::Dictionary::Create(std::move(entries));
}

cf::Ref<cf::Dictionary> InfoEntityDictionary(const SystemEntity& entity) {
  cf::Dictionary::Entries entries;
  entries["content-hint"] = cf::String::Create(entity.content_hint);
  entries["dev-entry"] = cf::String::Create(entity.dev_entry);
  if (!entity.mount_point.empty()) {
    entries["mount-point"] = cf::String::Create(entity.mount_point);
  }
  return cf::Dictionary::Create(std::move(entries));
}

std::string EntityLine(const SystemEntity& entity) {
  std::string line = entity.dev_entry;
  if (line.size() < 20) line.append(20 - line.size(), ' ');
  line += '\t';
  std::string hint = entity.content_hint.substr(0, 31);
  if (hint.size() < 31) hint.append(31 - hint.size(), ' ');
  line += hint;
  line += '\t';
  line += entity.mount_point;
  return line;
}

}  // namespace sim::tools
