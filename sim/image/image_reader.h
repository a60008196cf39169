#pragma once

// Reading image and shadow files, from a descriptor or from bytes in memory. Internal to
// sim/image: ReadImage (image_file.h) is built on it, and so are the fuzz target and the tests
// that feed the reader damaged bytes.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"
#include "sim/image/image_file_format.h"

namespace sim::image_internal {

// Opens an image or shadow file for reading; throws the errno of a failed open, naming the
// file as `what` ("image", "shadow file").
std::shared_ptr<const mcom::File> OpenImageFile(const mcom::FilePath& path, const char* what);

// The bytes of a file being read.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Exactly `length` bytes at `offset`; the range lies within Size(). Throws when they
  // cannot be read (kCorrupt when the file has become shorter).
  virtual std::string Read(uint64_t offset, uint64_t length) const = 0;
};

// The bytes of an open file; Size() is its length when the source was made.
class FileByteSource final : public ByteSource {
 public:
  // Throws the errno of a failed fstat, and EISDIR or kNotRecognized when `file` is not a
  // regular file.
  FileByteSource(const mcom::File& file, std::string name);
  uint64_t Size() const override { return size_; }
  std::string Read(uint64_t offset, uint64_t length) const override;

 private:
  const mcom::File& file_;
  std::string name_;
  uint64_t size_ = 0;
};

class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  std::string Read(uint64_t offset, uint64_t length) const override {
    return std::string(bytes_.substr(offset, length));
  }

 private:
  std::string_view bytes_;
};

// What an image or shadow file holds.
struct ImageFileContents {
  ImageHeader header;
  ImageDescription description;
  std::vector<StoredPayload> payloads;  // in VolumesOf(description) order
};

enum class FileKind { kImage, kShadow };

// Reads and checks the header and the metadata of `source`, which must be a file of `kind`
// (kNotRecognized otherwise). The volumes' payloads are in `file` (may be null).
ImageFileContents ReadImageFile(const ByteSource& source, FileKind kind,
                                const std::shared_ptr<const mcom::File>& file,
                                const std::string& name);

// The combined view of an image and its shadow (see ReadImage in image_file.h). Throws
// kCorrupt when the shadow does not fit the image (another layout, a volume said to lie in
// the image that the image does not hold).
ImageDescription CombineWithShadow(const ImageFileContents& image, const ImageFileContents& shadow,
                                   const std::string& shadow_name);

// The description of an image held in memory (payloads without files), and of one with a
// shadow; as ReadImage otherwise.
ImageDescription DescribeImageBytes(std::string_view image);
ImageDescription DescribeShadowedImageBytes(std::string_view image, std::string_view shadow);

}  // namespace sim::image_internal
