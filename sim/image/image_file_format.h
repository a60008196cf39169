#pragma once

// The image file's own bytes: the header and the metadata property list, encoded and
// decoded. Internal to sim/image (image_file.h describes the file for everyone else).
//
// The decoders take outside input: they validate every field and throw std::system_error
// with ImageErrc::kNotRecognized or kCorrupt, naming the file (`name`) and the fault.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/foundation/file.h"
#include "sim/image/image_description.h"

namespace sim::image_internal {

struct ImageHeader {
  ImageFormat format = ImageFormat::kUDRW;
  uint64_t size = 0;
  ImageLayout layout = ImageLayout::kNone;
  uint64_t metadata_offset = 0;
  uint64_t metadata_length = 0;
  bool shadow = false;
};

// Where a volume's payload lies in the file whose metadata describes it.
struct StoredPayload {
  bool in_base = false;  // shadow files only: the payload is the base image's, not here
  uint64_t offset = 0;
  uint64_t length = 0;
  PayloadCompression compression = PayloadCompression::kNone;
};

// Throws std::system_error(error, `what`).
[[noreturn]] void Fail(std::error_code error, const std::string& what);

// Exactly kImageHeaderLength bytes.
std::string EncodeImageHeader(const ImageHeader& header);

// `bytes` are the file's first bytes, up to kImageHeaderLength of them; `file_size` is the
// whole file's length, against which the metadata's place is checked.
ImageHeader DecodeImageHeader(std::string_view bytes, uint64_t file_size, const std::string& name);

// The metadata property list (XML) of `description`, with `payloads` in the order of
// VolumesOf(description).
std::string EncodeMetadata(const ImageDescription& description,
                           const std::vector<StoredPayload>& payloads);

// The description that `bytes` (the metadata) and `header` give together. Every volume's
// files are an ImagePayload in `file` (which may be null when reading bytes), except the
// volumes of a shadow that lie in the base image, whose payloads have no file; `payloads`
// receives where each volume's payload lies, in VolumesOf order. Checks the description
// (DescriptionProblem), that each payload lies between the header and the metadata without
// overlapping another, and that its compression is the format's.
ImageDescription DecodeMetadata(std::string_view bytes, const ImageHeader& header,
                                const std::shared_ptr<const mcom::File>& file,
                                const std::string& name, std::vector<StoredPayload>* payloads);

// The compression of the payloads of a file with this header: gzip for UDZO images, none
// otherwise (shadow files included).
PayloadCompression CompressionFor(const ImageHeader& header);

}  // namespace sim::image_internal
