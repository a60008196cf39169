#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// Whole disks and partitions: what `hdiutil attach`/`detach`, `diskutil eraseDisk` and
// `partitionDisk`, and plugging media do to the machine. Run inside Machine::Change; the
// functions that take the root also create or delete volume files. Failures throw
// MachineError and leave the model unchanged where the function says so.
//
// A typical attach of a sparse image with a GPT holding one APFS container:
//
//   machine.Change([&](sim::Model& model) {
//     sim::WholeDiskSpec spec = sim::ImageDiskSpec(image_path, "SPARSE", size, "rw");
//     const uint32_t disk = sim::AddWholeDisk(model, spec);
//     const auto partitions = sim::PartitionDisk(root, model, disk, {{sim::kAPFSPartitionGUID,
//                                                                     "disk image", 0}});
//     const uint32_t container = sim::CreateContainer(root, model, {partitions[0]});
//     const mcom::DiskName volume = sim::AddVolume(root, model, container, {"Untitled"});
//     sim::Mount(root, model, volume, {});
//   });
namespace sim {

// What a new whole disk looks like.
struct WholeDiskSpec {
  DiskKind kind = DiskKind::kExternal;
  std::string protocol = "USB";  // "PCI-Express", "SATA", "USB", "Virtual Interface"
  std::string location;          // empty: "Internal", "External" or "File" from `kind`
  std::string media_name;
  std::string vendor_name;
  std::string product_name;
  std::string medium_type;  // "Solid State", "Rotational"
  uint64_t size = 0;
  uint32_t block_size = 512;
  bool removable = false;
  bool ejectable = true;
  bool writable = true;
  std::string tier;  // "Main" / "Secondary" for Fusion members
  std::string image_path;
  std::string image_mode;  // "ro" or "rw"
  std::string shadow_path;
};

// The registry media name of an image of `format` ("SPARSE": "Apple sparse disk image
// Media", "UDZO": "Apple UDIF read-only compressed (zlib) Media", "UDRW": "Apple UDIF
// read/write Media"; others "Apple disk image Media").
std::string ImageMediaName(std::string_view format);

// The spec of an attached image: kind image, "Virtual Interface" at "File", ejectable and
// removable, writable when `mode` is "rw".
WholeDiskSpec ImageDiskSpec(const std::string& image_path, std::string_view format, uint64_t size,
                            const std::string& mode);

// Adds a blank whole disk (no partition scheme, "Content" "") with the lowest free disk
// number, a new UUID and registry ids; returns its number. Throws for a size of 0.
uint32_t AddWholeDisk(Model& model, const WholeDiskSpec& spec);

// Removes a whole disk and everything on it: its volumes are unmounted and their files
// deleted, containers with a store on it go with their volumes, its "Plugged" entry goes.
// Throws (changing nothing) for an unknown disk or one that holds the running system.
void RemoveDisk(const mcom::FilePath& root, Model& model, uint32_t number);

// Erases a disk to blank: removes its partitions and everything on them (as RemoveDisk,
// keeping the disk), and its partition scheme. Same errors as RemoveDisk.
void EraseDisk(const mcom::FilePath& root, Model& model, uint32_t number);

struct PartitionSpec {
  std::string type;  // a GPT type GUID (model.h has the ones the machine knows)
  std::string name;
  uint64_t size = 0;  // bytes; 0 takes what is left (only the last partition may say so)
};

// The size macOS gives the EFI system partition it puts first on a GPT disk.
inline constexpr uint64_t kEFIPartitionSize = 209715200;

// Erases the disk (EraseDisk), gives it a GUID partition scheme and makes an "EFI" EFI
// system partition (when `with_efi`) followed by `partitions` in order, each aligned to
// 4096 bytes. Returns the BSD names of `partitions` (not of the EFI partition). Throws
// (changing nothing) when they do not fit, a size of 0 is not last, or the disk is unknown
// or holds the running system.
std::vector<mcom::DiskName> PartitionDisk(const mcom::FilePath& root, Model& model, uint32_t number,
                                          const std::vector<PartitionSpec>& partitions,
                                          bool with_efi = true);

// Formats a partition as an HFS+ volume named `name`: its type becomes Apple_HFS, any
// volume or container on it is removed, and a new empty volume store is made. Returns the
// volume's BSD name (the partition's). Throws for an unknown partition or one that is a
// store of a container.
mcom::DiskName CreateHFSVolume(const mcom::FilePath& root, Model& model, mcom::DiskName partition,
                               const std::string& name);

}  // namespace sim
