#include "sim/image/image_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/posix_error.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file.h"

namespace sim::image_internal {

std::shared_ptr<const mcom::File> OpenImageFile(const mcom::FilePath& path, const char* what) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer: a reader must never hang on
  // what it was handed. Reads of regular files ignore the flag.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail(mcom::LastError(), path.string() + ": cannot open the " + what);
  return std::make_shared<const mcom::File>(fd);
}

FileByteSource::FileByteSource(const mcom::File& file, std::string name)
    : file_(file), name_(std::move(name)) {
  struct stat status;
  if (::fstat(file.get(), &status) != 0) Fail(mcom::LastError(), name_ + ": cannot read status");
  if (S_ISDIR(status.st_mode)) {
    Fail(std::make_error_code(std::errc::is_a_directory), name_ + ": is a folder, not an image");
  }
  if (!S_ISREG(status.st_mode)) {
    Fail(ImageErrc::kNotRecognized, name_ + ": is not a regular file");
  }
  size_ = static_cast<uint64_t>(status.st_size);
}

std::string FileByteSource::Read(uint64_t offset, uint64_t length) const {
  std::string bytes(length, '\0');
  uint64_t done = 0;
  while (done < length) {
    const ssize_t count = mcom::RetryOnInterrupt([&] {
      return ::pread(file_.get(), bytes.data() + done, length - done,
                     static_cast<off_t>(offset + done));
    });
    if (count < 0) Fail(mcom::LastError(), name_ + ": cannot read");
    if (count == 0) {
      Fail(ImageErrc::kCorrupt, name_ + ": the file ends at " + std::to_string(offset + done) +
                                    ", before the end of what it describes");
    }
    done += static_cast<uint64_t>(count);
  }
  return bytes;
}

ImageFileContents ReadImageFile(const ByteSource& source, FileKind kind,
                                const std::shared_ptr<const mcom::File>& file,
                                const std::string& name) {
  const uint64_t size = source.Size();
  ImageFileContents contents;
  contents.header =
      DecodeImageHeader(source.Read(0, std::min(size, kImageHeaderLength)), size, name);
  if (contents.header.shadow != (kind == FileKind::kShadow)) {
    Fail(ImageErrc::kNotRecognized,
         name + (kind == FileKind::kShadow ? ": is a disk image, not a shadow file"
                                           : ": is a shadow file, not a disk image"));
  }
  const std::string metadata =
      source.Read(contents.header.metadata_offset, contents.header.metadata_length);
  contents.description = DecodeMetadata(metadata, contents.header, file, name, &contents.payloads);
  return contents;
}

ImageDescription CombineWithShadow(const ImageFileContents& image, const ImageFileContents& shadow,
                                   const std::string& shadow_name) {
  if (shadow.header.layout != image.header.layout) {
    Fail(ImageErrc::kCorrupt, shadow_name + ": the shadow's layout " +
                                  ImageLayoutName(shadow.header.layout) + " is not the image's " +
                                  ImageLayoutName(image.header.layout));
  }
  ImageDescription combined = shadow.description;
  combined.format = image.description.format;
  combined.size = std::max(image.description.size, shadow.description.size);
  const std::vector<ImageVolume*> volumes = VolumesOf(combined);
  for (size_t index = 0; index < volumes.size(); ++index) {
    if (!shadow.payloads[index].in_base) continue;
    const ImageVolume* original = FindVolume(image.description, volumes[index]->uuid);
    if (original == nullptr) {
      Fail(ImageErrc::kCorrupt, shadow_name + ": volume " + volumes[index]->uuid +
                                    " lies in the image, which holds no such volume");
    }
    volumes[index]->files = original->files;
  }
  // Every payload now has the file it came from (none when reading bytes); the rest of the
  // description must still hold together, with the larger size included.
  const std::string problem = DescriptionProblem(combined, /*payloads_may_lack_files=*/true);
  if (!problem.empty()) Fail(ImageErrc::kCorrupt, shadow_name + ": with its image: " + problem);
  return combined;
}

ImageDescription DescribeImageBytes(std::string_view image) {
  return ReadImageFile(MemoryByteSource(image), FileKind::kImage, nullptr, "image").description;
}

ImageDescription DescribeShadowedImageBytes(std::string_view image, std::string_view shadow) {
  return CombineWithShadow(
      ReadImageFile(MemoryByteSource(image), FileKind::kImage, nullptr, "image"),
      ReadImageFile(MemoryByteSource(shadow), FileKind::kShadow, nullptr, "shadow"), "shadow");
}

}  // namespace sim::image_internal

namespace sim {

using namespace image_internal;

ImageDescription ReadImage(const mcom::FilePath& path, const mcom::FilePath& shadow) {
  const std::shared_ptr<const mcom::File> file = OpenImageFile(path, "image");
  const ImageFileContents image =
      ReadImageFile(FileByteSource(*file, path.string()), FileKind::kImage, file, path.string());
  if (shadow.empty()) return image.description;

  struct stat status;
  if (::lstat(shadow.c_str(), &status) != 0 && errno == ENOENT) return image.description;
  const std::shared_ptr<const mcom::File> shadow_file = OpenImageFile(shadow, "shadow file");
  const ImageFileContents contents = ReadImageFile(FileByteSource(*shadow_file, shadow.string()),
                                                   FileKind::kShadow, shadow_file, shadow.string());
  return CombineWithShadow(image, contents, shadow.string());
}

}  // namespace sim
