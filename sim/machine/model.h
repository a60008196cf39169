#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/disk_name.h"

// The machine model: everything the simulated Mac knows about its disks, containers,
// volumes, facts, faults, boot settings, mount blockers and busy claims. It is kept in
// private/var/db/macsim/machine.plist (model_property_list.h gives the keys) and changed
// only inside Machine::Change (machine.h), which holds the machine's lock.
//
// The model is plain data. Its invariants are kept by the operations of
// disk_operations.h, apfs_operations.h, mounting.h and blockers.h; code that changes the
// structs directly must keep them too:
//  - disk numbers are unique among whole disks and containers (a container's synthesized
//    disk takes a disk number like any other disk);
//  - BSD minor numbers are unique among all media (disks, partitions, containers, volumes);
//  - registry ids are unique; each object owns the block [registry_id, registry_id + 16);
//  - a volume's `name` (disk, slice) is its BSD name: for an APFS volume the container's
//    number and the volume's slice, for an HFS+ volume the partition's;
//  - a container's `stores` name existing partitions or whole disks.
namespace sim {

// The GUIDs and content strings the machine uses (platform facts, GPT types).
inline constexpr std::string_view kEFIPartitionGUID = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
inline constexpr std::string_view kAPFSPartitionGUID = "7C3457EF-0000-11AA-AA11-00306543ECAC";
inline constexpr std::string_view kHFSPartitionGUID = "48465300-0000-11AA-AA11-00306543ECAC";
inline constexpr std::string_view kAppleBootPartitionGUID = "426F6F74-0000-11AA-AA11-00306543ECAC";
inline constexpr std::string_view kAPFSVolumeContent = "41504653-0000-11AA-AA11-00306543ECAC";
inline constexpr std::string_view kAPFSContainerContent = "EF57347C-0000-11AA-AA11-00306543ECAC";
inline constexpr std::string_view kGUIDSchemeContent = "GUID_partition_scheme";
inline constexpr std::string_view kNoVolumeGroup = "00000000-0000-0000-0000-000000000000";

enum class DiskKind { kInternal, kExternal, kImage };

// "internal", "external", "image", and back (false for anything else).
std::string_view DiskKindName(DiskKind kind);
bool ParseDiskKind(std::string_view text, DiskKind* kind);

struct Partition {
  uint32_t slice = 0;
  std::string type;  // the GPT type GUID, upper case; also the IOMedia "Content"
  std::string name;
  uint64_t base = 0;  // bytes from the start of the disk
  uint64_t size = 0;
  std::string uuid;
  uint32_t bsd_minor = 0;
  uint64_t registry_id = 0;
};

struct Disk {
  uint32_t number = 0;
  DiskKind kind = DiskKind::kInternal;
  std::string protocol;     // "PCI-Express", "SATA", "USB", "Virtual Interface"
  std::string location;     // "Internal", "External", "File"
  std::string media_name;   // the whole media's registry name: "APPLE SSD AP0512M Media"
  std::string vendor_name;  // "Device Characteristics"
  std::string product_name;
  std::string medium_type;  // "Solid State", "Rotational"; empty for images
  uint64_t size = 0;
  uint32_t block_size = 512;
  bool removable = false;
  bool ejectable = false;
  bool writable = true;
  std::string scheme = "none";  // "GPT" or "none"
  std::string content;          // "GUID_partition_scheme", or "" for a blank disk
  std::string tier;             // "Main" / "Secondary" for Fusion members, else empty
  std::string uuid;
  std::string image_path;   // attached images only: the image file (a host path)
  std::string image_mode;   // "ro" or "rw"
  std::string shadow_path;  // the shadow file of a shadowed attach, else empty
  uint32_t bsd_minor = 0;
  uint64_t registry_id = 0;
  std::vector<Partition> partitions;

  mcom::DiskName name() const { return mcom::DiskName{number}; }
};

struct Container {
  std::string uuid;
  uint32_t number = 0;  // the synthesized disk: disk<number>
  uint64_t size = 0;
  // The BSD names of the physical stores ("disk0s2"; two for Fusion, main tier first; a
  // whole disk "disk5" when a blank disk is used directly).
  std::vector<std::string> stores;
  uint32_t bsd_minor = 0;
  uint64_t registry_id = 0;

  mcom::DiskName name() const { return mcom::DiskName{number}; }
};

struct Volume {
  std::string uuid;
  std::string name;
  mcom::DiskName disk;                     // its BSD name
  std::string file_system = "apfs";        // "apfs" or "hfs"
  std::vector<std::string> roles;          // "System", "Data", "Preboot", "Recovery", "VM"
  std::string group_uuid;                  // empty without a volume group
  std::string store;                       // its store id (volume_store.h)
  std::string mount_point;                 // a host path; empty when not mounted
  std::vector<std::string> mount_options;  // "ro", "nobrowse"
  // Mounted at a directory the caller gave (restored as an empty directory with this mode
  // on unmount), rather than at a folder of its own under ROOT/Volumes.
  bool mounted_at_given_path = false;
  uint32_t given_path_mode = 0755;
  std::string content;  // IOMedia "Content"
  bool writable = true;
  uint64_t used = 0;  // bytes in use, for the space query
  uint32_t bsd_minor = 0;
  uint64_t registry_id = 0;

  bool is_mounted() const { return !mount_point.empty(); }
  bool HasRole(std::string_view role) const;
};

// The hex form of the test identities' root key (sim/signature/test_identities.h).
std::string DefaultTrustedAnchor();

struct Facts {
  std::string model = "iMac19,1";
  bool has_t2 = false;
  bool full_disk_access = true;
  bool administrator_approves = true;
  bool recovery_environment = false;
  std::string product_name = "macOS";
  std::string product_version = "10.15.7";
  std::string build_version = "19H2";
  std::string host_name = "mac";
  // The public key (hex) of the root every signature must chain to: the test root unless
  // a test makes the machine trust another one.
  std::string trusted_anchor = DefaultTrustedAnchor();
};

struct Boot {
  std::string device;    // set by `bless --device ... --setBoot`
  std::string folder;    // `bless --folder ...`
  std::string boot_efi;  // `bless ... --bootefi ...`
  // Where the blessed folder and boot loader lie, as the firmware finds them again after the
  // volume has been unmounted: the volume's UUID and both paths relative to its root ("/X").
  std::string folder_volume;
  std::string folder_in_volume;
  std::string boot_efi_in_volume;
  bool restart_requested = false;
  // The volume mounted at the machine's "/" view (root_view.h): its top-level entries are in
  // ROOT while it runs. Empty while ROOT shows the machine's first system.
  std::string root_volume;
  // The first system's UUID once `macsim boot` has put its view aside.
  std::string first_system;
};

// A process that refuses mounts of one disk (and of everything on it) while it lives.
struct Blocker {
  pid_t pid = 0;
  std::string bsd_name;
};

// A process that works on one disk (asr copying into a container or onto a partition):
// while it lives, changes of the disk, of what is stored on it and of what it lives on are
// refused as "Resource busy" (busy_disks.h).
struct Claim {
  pid_t pid = 0;
  std::string bsd_name;
};

struct Model {
  Facts facts;
  std::map<std::string, std::string> faults;  // "<tool>.<verb>" -> value
  std::vector<Disk> disks;                    // in disk-number order
  std::vector<Container> containers;          // in disk-number order
  std::vector<Volume> volumes;                // in BSD-name order
  Boot boot;
  std::vector<Blocker> blockers;
  std::vector<Claim> claims;
  // Which fixture medium each plugged disk came from: "disk2" -> "usb-hfs".
  std::map<std::string, std::string> plugged;
  // The UUID of the running system's System volume; empty for none. It and the Data volume
  // of its group appear in the mount table at "/" and "/System/Volumes/Data".
  std::string running_system;
  uint64_t next_registry_id = 0x100000200;
  // Top-level keys of machine.plist that this version does not know, written back as read.
  mcom::cf::Ref<mcom::cf::Dictionary> unknown_keys;
};

// Look-ups; null when there is no such object. The pointers stay valid until the model's
// vectors change.
Disk* FindDisk(Model& model, uint32_t number);
const Disk* FindDisk(const Model& model, uint32_t number);
Container* FindContainer(Model& model, uint32_t number);
const Container* FindContainer(const Model& model, uint32_t number);
Container* FindContainerByUUID(Model& model, std::string_view uuid);
const Container* FindContainerByUUID(const Model& model, std::string_view uuid);
Volume* FindVolume(Model& model, mcom::DiskName name);
const Volume* FindVolume(const Model& model, mcom::DiskName name);
Volume* FindVolumeByUUID(Model& model, std::string_view uuid);
const Volume* FindVolumeByUUID(const Model& model, std::string_view uuid);
Partition* FindPartition(Model& model, mcom::DiskName name);
const Partition* FindPartition(const Model& model, mcom::DiskName name);

// The container that has `store` (a partition or whole disk BSD name) as a physical store.
const Container* ContainerOnStore(const Model& model, std::string_view store);
// The volume living directly on a partition (an HFS+ volume), if any.
const Volume* VolumeOnPartition(const Model& model, mcom::DiskName partition);
// The volumes of a container, in slice order.
std::vector<const Volume*> VolumesOfContainer(const Model& model, uint32_t container_number);

// The physical whole disks a BSD name lives on: the disk itself for a whole disk or a
// partition, the disks of the container's stores for a container or an APFS volume. Empty
// for a name the model does not know.
std::vector<uint32_t> PhysicalDisksOf(const Model& model, mcom::DiskName name);

// Puts disks and containers in disk-number order, partitions in slice order and volumes in
// BSD-name order: the order of the registry, the mount table and machine.plist.
void SortModel(Model& model);

// Parses a BSD name, with or without "/dev/", or throws MachineError ("not a disk name:
// TEXT").
mcom::DiskName ParseDiskNameOrThrow(std::string_view text);

}  // namespace sim
