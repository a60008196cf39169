#pragma once

// The translation between a disk image's description (sim/image) and the machine's model:
// attaching lays an image into the machine as disks, partitions, containers and volumes;
// detaching describes them again, so that what changed while attached can be written back.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"
#include "sim/machine/model.h"

namespace sim::tools {

// What an attach asks for.
struct ImageAttachSpec {
  mcom::FilePath image;   // resolved path of the image file
  mcom::FilePath shadow;  // resolved path of the shadow file; empty without one
  bool read_only = false;
  bool mount = true;
  // -mount required: an attach whose volumes cannot all be mounted (or that has none) fails.
  bool mount_required = false;
  // -mountpoint: the directory the image's only volume is mounted on (resolved).
  std::optional<mcom::FilePath> mount_point;
  bool hidden = false;  // -nobrowse
};

// Lays the image `description` into the machine as one attached image (run inside
// Machine::Change):
//  - a whole disk of kind image for `spec.image` (and `spec.shadow`), writable unless
//    read-only, of the image's declared size; for a GPT layout with the image's disk UUID;
//  - its partitions with the image's types, names, UUIDs and sizes, laid out from the
//    first usable sector on;
//  - its containers and volumes with the image's UUIDs, names, roles and groups; each
//    volume's files are the folder `extracted[i]` (for the i-th volume of
//    VolumesOf(description)), moved into the volume's store;
//  - its volumes mounted as `spec` asks: at ROOT/Volumes/<name> ("nobrowse" when hidden,
//    "ro" when read-only), or the only volume at `spec.mount_point`. A volume that cannot be
//    mounted stays unmounted unless `spec.mount_required`.
// Returns the whole disk's number.
//
// Throws HdiutilFailure ("attach failed - ..."): an image the machine cannot hold (an HFS+
// volume filling a layout-NONE disk), a mount point given for an image with more than one
// volume, a required mount that fails. Before it throws, the files of every volume it made
// are removed again (a given mount point comes back empty), so with the transaction's model
// thrown away the machine is as it was; folders of `extracted` not yet moved stay where they
// are, for the caller to remove.
uint32_t AddImageDisks(const mcom::FilePath& root, Model& model, const ImageAttachSpec& spec,
                       const ImageDescription& description,
                       const std::vector<mcom::FilePath>& extracted);

// The description of the attached image on `disk` as the machine holds it now, for writing
// it back: partitions, containers and volumes from the model, each volume's files the folder
// where they are (its store, or its mount point). Format from the disk's media name; size,
// layout and (for GPT) UUID from the disk.
ImageDescription DescribeImageDisk(const mcom::FilePath& root, const Model& model,
                                   const Disk& disk);

// The format of an attached image, from its disk's media name (SPARSE, UDZO or UDRW).
ImageFormat ImageFormatOfDisk(const Disk& disk);

// The content hint hdiutil gives a partition of type `type` ("Apple_APFS", "Apple_HFS",
// "EFI", "Apple_Boot"; the type itself for others).
std::string PartitionContentHint(std::string_view type);

}  // namespace sim::tools
