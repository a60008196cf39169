#include "sim/machine/registry_renderer.h"

#include <map>

#include "sim/machine/disk_numbering.h"
#include "sim/machine/registry_entry.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

// The major number of every disk device on the Mac.
constexpr uint64_t kDiskMajor = 1;
constexpr uint64_t kAPFSBlockSize = 4096;
constexpr const char* kFormattedBy = "newfs_apfs (1412.141.1)";

// The ids inside an object's block (disk_numbering.h).
enum DiskEntry : uint64_t { kDevice = 0, kDriver = 1, kWholeMedia = 2, kPartitionScheme = 3 };
enum ContainerEntry : uint64_t { kContainerScheme = 0, kContainerMedia = 1, kContainer = 2 };

cf::Ref<cf::Dictionary> MediaIcon(const Disk& disk) {
  const char* file = "Internal.icns";
  if (disk.kind != DiskKind::kInternal) file = disk.removable ? "Removable.icns" : "External.icns";
  return StringDictionary(
      {{"CFBundleIdentifier", "com.apple.iokit.IOStorageFamily"}, {"IOBundleResourceFile", file}});
}

// The properties every IOMedia of the machine carries.
void SetMediaProperties(RegistryEntry& entry, mcom::DiskName name, uint32_t minor, uint64_t size,
                        uint64_t block_size, bool whole, bool leaf, bool writable,
                        const Disk& disk) {
  entry.SetString("BSD Name", mcom::FormatDiskName(name))
      .SetInteger("BSD Major", kDiskMajor)
      .SetInteger("BSD Minor", minor)
      .SetInteger("BSD Unit", name.disk)
      .SetBool("Whole", whole)
      .SetBool("Leaf", leaf)
      .SetInteger("Size", size)
      .SetInteger("Preferred Block Size", block_size)
      .SetBool("Writable", writable)
      .SetBool("Removable", disk.removable)
      .SetBool("Ejectable", disk.ejectable)
      .SetBool("Open", true);
}

class Renderer {
 public:
  explicit Renderer(const Model& model) : model_(model) {}

  cf::Ref<cf::Dictionary> Render() {
    RegistryEntry platform("IOPlatformExpertDevice", model_.facts.model, kPlatformExpertEntryID);
    platform.SetData("model", model_.facts.model + std::string(1, '\0'));
    if (model_.facts.has_t2) {
      platform.AddChild(
          RegistryEntry("AppleT2Controller", "Apple T2 Controller", kT2ControllerEntryID).Build());
    }
    RegistryEntry images("IOHDIXController", "IOHDIXController", kImageControllerEntryID);
    for (const Disk& disk : model_.disks) {
      (disk.kind == DiskKind::kImage ? images : platform).AddChild(DiskDevice(disk));
    }
    platform.AddChild(images.Build());
    return RegistryEntry("IORegistryEntry", "Root", kRootEntryID)
        .AddChild(platform.Build())
        .Build();
  }

 private:
  cf::Ref<cf::Dictionary> DiskDevice(const Disk& disk) {
    const std::string_view device_class = DeviceClassForProtocol(disk.protocol);
    RegistryEntry device(device_class, device_class, disk.registry_id + kDevice);
    device.SetValue("Protocol Characteristics",
                    StringDictionary({{"Physical Interconnect", disk.protocol},
                                      {"Physical Interconnect Location", disk.location}}));
    if (disk.kind == DiskKind::kImage) {
      device.SetData("image-path", disk.image_path);
    } else {
      device.SetValue("Device Characteristics",
                      StringDictionary({{"Vendor Name", disk.vendor_name},
                                        {"Product Name", disk.product_name},
                                        {"Medium Type", disk.medium_type}}));
    }
    RegistryEntry driver("IOBlockStorageDriver", "IOBlockStorageDriver",
                         disk.registry_id + kDriver);
    driver.AddChild(WholeMedia(disk));
    device.AddChild(driver.Build());
    return device.Build();
  }

  cf::Ref<cf::Dictionary> WholeMedia(const Disk& disk) {
    const Container* direct_container = ContainerOnStore(model_, mcom::FormatDiskName(disk.name()));
    const bool has_children = disk.scheme == "GPT" || direct_container != nullptr;
    RegistryEntry media("IOMedia", disk.media_name, disk.registry_id + kWholeMedia);
    SetMediaProperties(media, disk.name(), disk.bsd_minor, disk.size, disk.block_size,
                       /*whole=*/true, /*leaf=*/!has_children, disk.writable, disk);
    media.SetString("Content", disk.content)
        .SetString("Content Hint", "")
        .SetValue("IOMediaIcon", MediaIcon(disk));
    if (!disk.uuid.empty()) media.SetString("UUID", disk.uuid);
    if (!disk.tier.empty()) media.SetString("TierType", disk.tier);

    if (disk.scheme == "GPT") {
      RegistryEntry scheme("IOGUIDPartitionScheme", "IOGUIDPartitionScheme",
                           disk.registry_id + kPartitionScheme);
      scheme.SetString("Content Mask", kGUIDSchemeContent);
      for (const Partition& partition : disk.partitions) {
        scheme.AddChild(PartitionMedia(disk, partition));
      }
      media.AddChild(scheme.Build());
    } else if (direct_container != nullptr) {
      media.AddChild(ContainerScheme(*direct_container));
    }
    return media.Build();
  }

  cf::Ref<cf::Dictionary> PartitionMedia(const Disk& disk, const Partition& partition) {
    const mcom::DiskName name{disk.number, partition.slice};
    const Container* container = ContainerOnStore(model_, mcom::FormatDiskName(name));
    const std::string entry_name =
        (partition.name.empty() ? std::string("Untitled") : partition.name) + "@" +
        std::to_string(partition.slice);
    RegistryEntry media("IOMedia", entry_name, partition.registry_id);
    SetMediaProperties(media, name, partition.bsd_minor, partition.size, disk.block_size,
                       /*whole=*/false, /*leaf=*/container == nullptr, disk.writable, disk);
    media.SetString("Content", partition.type)
        .SetString("Content Hint", partition.type)
        .SetInteger("Partition ID", partition.slice)
        .SetInteger("Base", partition.base)
        .SetInteger("GPT Attributes", 0);
    if (!partition.uuid.empty()) media.SetString("UUID", partition.uuid);
    if (container != nullptr) media.AddChild(ContainerScheme(*container));
    return media.Build();
  }

  // Built once per container and shared by all its stores, so that every copy carries the
  // same ids and properties. Keyed by the container's disk number: two attached copies of
  // one image hold containers with the same UUID, which are still two containers.
  cf::Ref<cf::Dictionary> ContainerScheme(const Container& container) {
    cf::Ref<cf::Dictionary>& built = containers_[container.number];
    if (!built) built = BuildContainerScheme(container);
    return built;
  }

  cf::Ref<cf::Dictionary> BuildContainerScheme(const Container& container) {
    // The container's media takes its removability and writability from its first store.
    const Disk* store_disk = nullptr;
    bool writable = false;
    for (uint32_t number : PhysicalDisksOf(model_, container.name())) {
      if (const Disk* disk = FindDisk(model_, number)) {
        if (store_disk == nullptr) store_disk = disk;
        writable = writable || disk->writable;
      }
    }
    static const Disk kNoDisk;
    const Disk& disk = store_disk != nullptr ? *store_disk : kNoDisk;

    const std::vector<const Volume*> volumes = VolumesOfContainer(model_, container.number);
    uint64_t used = 0;
    for (const Volume* volume : volumes) used += volume->used;

    RegistryEntry apfs("AppleAPFSContainer", "AppleAPFSContainer",
                       container.registry_id + kContainer);
    apfs.SetInteger("Size", container.size)
        .SetInteger("ContainerFree", used < container.size ? container.size - used : 0)
        .SetString("UUID", container.uuid);
    for (const Volume* volume : volumes) apfs.AddChild(VolumeMedia(container, *volume, disk));

    RegistryEntry media("AppleAPFSMedia", "AppleAPFSMedia",
                        container.registry_id + kContainerMedia);
    SetMediaProperties(media, container.name(), container.bsd_minor, container.size, kAPFSBlockSize,
                       /*whole=*/true, /*leaf=*/false, writable, disk);
    media.SetString("Content", kAPFSContainerContent)
        .SetString("Content Hint", kAPFSContainerContent)
        .SetString("UUID", container.uuid);
    media.AddChild(apfs.Build());

    RegistryEntry scheme("AppleAPFSContainerScheme", "AppleAPFSContainerScheme",
                         container.registry_id + kContainerScheme);
    scheme.AddChild(media.Build());
    return scheme.Build();
  }

  cf::Ref<cf::Dictionary> VolumeMedia(const Container& container, const Volume& volume,
                                      const Disk& disk) {
    RegistryEntry media("AppleAPFSVolume", volume.name + "@" + std::to_string(volume.disk.slice),
                        volume.registry_id);
    SetMediaProperties(media, volume.disk, volume.bsd_minor, container.size, kAPFSBlockSize,
                       /*whole=*/false, /*leaf=*/true, volume.writable, disk);
    media.SetInteger("Logical Block Size", kAPFSBlockSize)
        .SetString("Content", volume.content)
        .SetString("Content Hint", volume.content)
        .SetString("UUID", volume.uuid)
        .SetString("VolGroupUUID",
                   volume.group_uuid.empty() ? std::string(kNoVolumeGroup) : volume.group_uuid)
        .SetString("Status", "Online")
        .SetString("FormattedBy", kFormattedBy);
    if (!volume.roles.empty()) media.SetStrings("Role", volume.roles);
    return media.Build();
  }

  const Model& model_;
  std::map<uint32_t, cf::Ref<cf::Dictionary>> containers_;
};

}  // namespace

std::string_view DeviceClassForProtocol(std::string_view protocol) {
  if (protocol == "PCI-Express") return "IONVMeBlockStorageDevice";
  if (protocol == "SATA") return "IOAHCIBlockStorageDevice";
  if (protocol == "USB") return "IOBlockStorageServices";
  if (protocol == "Virtual Interface") return "IOHDIXHDDriveOutKernel";
  return "IOBlockStorageDevice";
}

cf::Ref<cf::Dictionary> RenderRegistry(const Model& model) { return Renderer(model).Render(); }

}  // namespace sim
