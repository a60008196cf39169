// Fuzz target for the reader of image files, the way outside bytes (an image or shadow file
// someone hands to hdiutil) come into the simulated Mac. For any input:
//  - reading it as an image, and as a shadow over a fixed valid image, either gives a
//    description or throws std::system_error with an image error; never a crash, a hang, a
//    leak, another exception or a huge allocation;
//  - a description that was read survives a round trip: its header and metadata written
//    again read back as the same header, description and payload places.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "sim/image/image_error.h"
#include "sim/image/image_file.h"
#include "sim/image/image_file_format.h"
#include "sim/image/image_reader.h"

namespace {

using namespace sim;
using namespace sim::image_internal;

[[noreturn]] void Abort(const char* what) {
  std::fprintf(stderr, "image_description_fuzzer: %s\n", what);
  std::abort();
}

bool SameHeader(const ImageHeader& left, const ImageHeader& right) {
  return left.format == right.format && left.size == right.size && left.layout == right.layout &&
         left.metadata_offset == right.metadata_offset &&
         left.metadata_length == right.metadata_length && left.shadow == right.shadow;
}

bool SamePlaces(const std::vector<StoredPayload>& left, const std::vector<StoredPayload>& right) {
  if (left.size() != right.size()) return false;
  for (size_t index = 0; index < left.size(); ++index) {
    if (left[index].in_base != right[index].in_base || left[index].offset != right[index].offset ||
        left[index].length != right[index].length ||
        left[index].compression != right[index].compression) {
      return false;
    }
  }
  return true;
}

void RoundTrip(const ImageFileContents& contents) {
  const std::string header = EncodeImageHeader(contents.header);
  const uint64_t file_size = contents.header.metadata_offset + contents.header.metadata_length;
  if (!SameHeader(DecodeImageHeader(header, file_size, "again"), contents.header)) {
    Abort("a header written again reads back differently");
  }
  const std::string metadata = EncodeMetadata(contents.description, contents.payloads);
  std::vector<StoredPayload> places;
  const ImageDescription again =
      DecodeMetadata(metadata, contents.header, nullptr, "again", &places);
  if (!(again == contents.description) || !SamePlaces(places, contents.payloads)) {
    Abort("metadata written again reads back differently");
  }
}

// A valid GPT image with an EFI partition and an APFS container of two volumes, whose
// payloads lie at 4096 and 4196; shadow seeds refer to these UUIDs.
const std::string& BaseImage() {
  static const std::string bytes = [] {
    ImageDescription description;
    description.format = ImageFormat::kUDRW;
    description.size = 1 << 30;
    description.layout = ImageLayout::kGPT;
    description.disk_uuid = "0A6C7B56-3D0F-4E6B-8E55-8E1C1F0B7A10";
    ImagePartition efi{
        kEFIPartitionType, "EFI", "5C9A2F61-0D7E-4A43-9A0B-5D0E6A7C2B11", 209715200, {}};
    ImagePartition store{
        kAPFSPartitionType, "", "1F4E8D2A-6B3C-4C59-8D7E-0A9B8C7D6E12", (1 << 30) - 209715200, {}};
    ImageContainer container{"7D2C1B0A-9E8F-4A6B-8C5D-4E3F2A1B0C13", {}};
    container.volumes.push_back({"3B2A1908-7F6E-4D5C-8B4A-392817161514",
                                 "Macintosh HD",
                                 {"System"},
                                 "6E5D4C3B-2A19-4F08-9E7D-6C5B4A392815",
                                 VolumeFileSystem::kAPFS,
                                 ImagePayload{}});
    container.volumes.push_back({"8F7E6D5C-4B3A-4291-8F0E-1D2C3B4A5916",
                                 "Macintosh HD - Data",
                                 {"Data"},
                                 "6E5D4C3B-2A19-4F08-9E7D-6C5B4A392815",
                                 VolumeFileSystem::kAPFS,
                                 ImagePayload{}});
    store.content.container = container;
    description.partitions = {efi, store};
    const std::vector<StoredPayload> places = {{false, 4096, 100, PayloadCompression::kNone},
                                               {false, 4196, 100, PayloadCompression::kNone}};
    ImageHeader header;
    header.format = description.format;
    header.size = description.size;
    header.layout = description.layout;
    header.metadata_offset = 4296;
    const std::string metadata = EncodeMetadata(description, places);
    header.metadata_length = metadata.size();
    std::string image = EncodeImageHeader(header);
    image.append(200, 'p');
    image += metadata;
    return image;
  }();
  return bytes;
}

template <typename Read>
void Try(Read read) {
  try {
    read();
  } catch (const std::system_error& error) {
    if (error.code().category() != image_category()) Abort("a non-image error from bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Try([&] {
    RoundTrip(ReadImageFile(MemoryByteSource(bytes), FileKind::kImage, nullptr, "image"));
  });
  Try([&] {
    RoundTrip(ReadImageFile(MemoryByteSource(bytes), FileKind::kShadow, nullptr, "shadow"));
  });
  Try([&] { DescribeShadowedImageBytes(BaseImage(), bytes); });
  return 0;
}
