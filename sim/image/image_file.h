#pragma once

// Simulated disk-image files: one self-contained file per image, holding a description
// (image_description.h) and every volume's files.
//
// The file:
//   [0, 4096)        the header: the line "DORVANE-SIM-IMAGE 1\n", then a small XML property
//                    list with "Format" ("SPARSE", "UDZO", "UDRW"), "Size" (declared bytes),
//                    "Layout" ("NONE", "GPT"), "MetadataOffset", "MetadataLength" (and
//                    "Shadow" = true in a shadow file), then zero bytes up to 4096.
//   [4096, metadata) the volume payloads, one pax archive per volume (volume_payload.h),
//                    gzip-compressed in UDZO.
//   metadata         a property list (written binary; XML reads as well): the disk, its
//                    partitions, containers and volumes, and where each volume's payload lies.
// A SPARSE image's file is then extended to its declared size, so it is as long as the disk
// it stands for and holds its data only (the rest is a hole).
//
// A shadow file has the same form. It holds the whole description of the shadowed image,
// the payloads of the volumes that changed while it was attached with the shadow only (the
// others are marked as lying in the base image), and the declared size, which a resize may
// have grown. The base image is never written while a shadow is in use.
//
// Every file is written beside its destination under a temporary name, synchronised and
// renamed into place, so a reader sees the old file or the new one, never a part; a failure
// removes the temporary file and leaves the destination as it was.
//
// Errors: every function throws std::system_error, with an errno value when the file system
// refuses or the request is impossible, and with an ImageErrc (image_error.h) when an image's
// bytes are at fault; what() names the file and the fault. A damaged or hostile file never
// crashes a reader, and what the reader allocates grows only with the bytes it reads (the
// header's 4096 and the metadata, at most kMaxMetadataLength), never with a size the file
// claims.

#include <cstdint>
#include <functional>

#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"

namespace sim {

inline constexpr char kImageMagic[] = "DORVANE-SIM-IMAGE 1\n";
inline constexpr uint64_t kImageHeaderLength = 4096;
inline constexpr uint64_t kMaxMetadataLength = uint64_t{16} << 20;

// Progress of a long write, in percent: called with 0 first, then with rising values, and
// with 100 last when the write succeeded. Called on the writing thread.
using ImageProgress = std::function<void(double percent)>;

// hdiutil create -size SIZE -type SPARSE -layout NONE PATH: a new SPARSE image of declared
// size `size`, blank (layout NONE, nothing on the disk), whose file is `size` bytes long but
// holds only the header and the metadata; creating a 500 GB image takes no space and no
// time. Throws EEXIST when anything exists at `path` (a dangling symbolic link included),
// EINVAL when `size` is 0 or above kMaxImageSize, EFBIG when the file system cannot hold a
// file that long.
void CreateSparseImage(const mcom::FilePath& path, uint64_t size);

// The description of the image at `path`. Every volume's files are an ImagePayload in the
// image file, which stays open for as long as the description (or a copy) lives.
//
// With a shadow (a non-empty `shadow` path), the combined view: the shadow's description,
// its changed volumes' payloads from the shadow and the others from the image, and the
// larger of the two declared sizes; format and layout stay the image's. A shadow file that
// does not exist yet reads as one without changes.
//
// Validates everything it reads (see DescriptionProblem, plus every offset and length
// against the file); throws ImageErrc::kNotRecognized or kCorrupt with the fault, or the
// errno of a failed open or read.
ImageDescription ReadImage(const mcom::FilePath& path, const mcom::FilePath& shadow = {});

// What WriteImage does when its destination exists.
enum class ExistingImage {
  kRefuse,   // throw EEXIST (the existing file is left alone)
  kReplace,  // replace it; the new file keeps the old one's mode and, for root, its owner
};

// Writes `description` as an image file at `destination`. Folders are packed; payloads are
// copied as they are, or compressed (for a UDZO image) or decompressed (for the others) on
// the way, so converting never unpacks a volume. A SPARSE image is extended to its declared
// size. Throws EINVAL for a description that DescriptionProblem rejects, and whatever
// packing a folder or reading a payload throws; the destination is unchanged then.
//
// The destination may be the very file the payloads come from: they are read through the
// descriptors the description holds, which keep the old file's data until they close.
// `progress` (may be empty) follows the bytes of the payloads.
void WriteImage(const ImageDescription& description, const mcom::FilePath& destination,
                ExistingImage existing, const ImageProgress& progress = nullptr);

// The end of a shadowed attach: records `description` (the combined view as it now is) in
// the shadow file at `shadow` over the image at `image`. Volumes whose files are still a
// payload of `image` itself are unchanged and are recorded as lying in the image; every
// other volume (a folder, or a payload of the previous shadow) is written into the shadow.
// The declared size never shrinks below the image's or the previous shadow's. The image
// file is only read, never opened for writing. Throws EINVAL when `description` has another
// layout than the image, as ReadImage for a bad image or shadow, and as WriteImage.
void WriteShadow(const mcom::FilePath& image, const mcom::FilePath& shadow,
                 const ImageDescription& description);

// hdiutil resize -size SIZE -growonly IMAGE [-shadow SHADOW]: grows the declared size to
// `size`; a `size` that is not larger than the current one changes nothing. The last
// partition of a GPT layout grows by the same amount (hdiutil grows the partition and its
// file system with the disk). With a shadow the new size is recorded in the shadow, which
// is created when missing, and the image is not touched; without one the image is
// rewritten, which a UDZO image refuses with EROFS. EINVAL when `size` is above
// kMaxImageSize.
void GrowImage(const mcom::FilePath& image, const mcom::FilePath& shadow, uint64_t size);

// hdiutil convert -format FORMAT -o DESTINATION SOURCE [-shadow SHADOW]: writes the combined
// view of `source` and `shadow` (which may be empty) as a new image of `format` at
// `destination`. Neither source nor shadow is changed. Throws EEXIST when `destination`
// exists. `progress` (may be empty) goes from 0 to 100 in rising steps as the payloads are
// copied and compressed.
void ConvertImage(const mcom::FilePath& source, const mcom::FilePath& shadow,
                  const mcom::FilePath& destination, ImageFormat format,
                  const ImageProgress& progress);

}  // namespace sim
