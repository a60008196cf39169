// Writing image and shadow files: every public operation of image_file.h that makes or
// changes a file. Each builds the whole new file under a temporary name beside its
// destination and renames it into place.

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix_error.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file.h"
#include "sim/image/image_file_format.h"
#include "sim/image/image_reader.h"
#include "sim/image/payload_copy.h"
#include "sim/image/volume_payload.h"

namespace sim {
namespace {

using image_internal::CopyPayload;
using image_internal::EncodeImageHeader;
using image_internal::EncodeMetadata;
using image_internal::Fail;
using image_internal::FileByteSource;
using image_internal::FileKind;
using image_internal::ImageFileContents;
using image_internal::ImageHeader;
using image_internal::ReadImageFile;
using image_internal::StoredPayload;

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity IdentityOf(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return {};
  return {status.st_dev, status.st_ino};
}

bool Exists(const mcom::FilePath& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

void RefuseExisting(const mcom::FilePath& path) {
  if (Exists(path)) Fail(std::make_error_code(std::errc::file_exists), path.string() + ": exists");
}

// A new file beside its destination, under a name no one else uses; removed again unless it
// is committed.
class NewImageFile {
 public:
  explicit NewImageFile(const mcom::FilePath& destination) : destination_(destination) {
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
      uint64_t random = 0;
      if (::getrandom(&random, sizeof random, 0) != sizeof random) {
        Fail(mcom::LastError(), destination.string() + ": cannot name a temporary file");
      }
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".%016" PRIx64 ".tmp", random);
      std::string name = ".";
      name.append(destination.LastComponent()).append(suffix);
      path_ = destination.Parent().Join(name);
      // 0666 less the umask, as any new file.
      file_ = mcom::File(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!file_ && errno != EEXIST) {
        Fail(mcom::LastError(), destination.string() + ": cannot create a file beside it");
      }
    }
    if (!file_) {
      Fail(std::make_error_code(std::errc::file_exists),
           destination.string() + ": cannot find a free temporary name beside it");
    }
  }

  ~NewImageFile() {
    if (!committed_) ::unlink(path_.c_str());
  }

  NewImageFile(const NewImageFile&) = delete;
  NewImageFile& operator=(const NewImageFile&) = delete;

  int fd() const { return file_.get(); }
  const mcom::File& file() const { return file_; }

  uint64_t Position() const {
    const off_t position = ::lseek(file_.get(), 0, SEEK_CUR);
    if (position < 0) Fail(mcom::LastError(), destination_.string() + ": cannot write");
    return static_cast<uint64_t>(position);
  }

  void WriteAt(uint64_t offset, const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t count = mcom::RetryOnInterrupt([&] {
        return ::pwrite(file_.get(), bytes.data() + done, bytes.size() - done,
                        static_cast<off_t>(offset + done));
      });
      if (count < 0) Fail(mcom::LastError(), destination_.string() + ": cannot write");
      done += static_cast<size_t>(count);
    }
  }

  void Extend(uint64_t length) const {
    if (::ftruncate(file_.get(), static_cast<off_t>(length)) != 0) {
      Fail(mcom::LastError(), destination_.string() + ": cannot make the file " +
                                  std::to_string(length) + " bytes long");
    }
  }

  // Synchronises the file and renames it into place; with kRefuse an existing destination
  // (even one that appeared meanwhile) is EEXIST.
  void Commit(ExistingImage existing) {
    if (existing == ExistingImage::kReplace) KeepOwnerAndMode();
    if (::fsync(file_.get()) != 0) Fail(mcom::LastError(), destination_.string() + ": cannot sync");
    if (existing == ExistingImage::kRefuse) {
      if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) !=
          0) {
        if (errno != EINVAL && errno != ENOSYS) {
          Fail(mcom::LastError(), destination_.string() + ": cannot create");
        }
        // A file system without the flag: a hard link refuses an existing name as well.
        if (::link(path_.c_str(), destination_.c_str()) != 0) {
          Fail(mcom::LastError(), destination_.string() + ": cannot create");
        }
        ::unlink(path_.c_str());
      }
    } else if (::rename(path_.c_str(), destination_.c_str()) != 0) {
      Fail(mcom::LastError(), destination_.string() + ": cannot replace");
    }
    committed_ = true;
    // The rename itself becomes durable with the folder.
    const mcom::File folder(
        ::open(destination_.Parent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.get());
  }

 private:
  // A replaced image keeps its mode, and its owner where the process may give it.
  void KeepOwnerAndMode() const {
    struct stat status;
    if (::stat(destination_.c_str(), &status) != 0) return;
    if (::geteuid() == 0) (void)::fchown(file_.get(), status.st_uid, status.st_gid);
    if (::fchmod(file_.get(), status.st_mode & 07777) != 0) {
      Fail(mcom::LastError(), destination_.string() + ": cannot keep the mode");
    }
  }

  const mcom::FilePath& destination_;
  mcom::FilePath path_;
  mcom::File file_;
  bool committed_ = false;
};

// Reports progress in rising steps: 0 at once, then each rise, never 100 before Finish.
class ProgressReporter {
 public:
  ProgressReporter(ImageProgress progress, uint64_t total)
      : progress_(std::move(progress)), total_(total) {
    if (progress_) progress_(0);
  }

  void Advance(uint64_t done) {
    if (!progress_ || total_ == 0) return;
    const double percent = std::min(
        99.0, 100.0 * static_cast<double>(done_before_ + done) / static_cast<double>(total_));
    if (percent > last_) {
      last_ = percent;
      progress_(percent);
    }
  }
  void CompletePart(uint64_t length) { done_before_ += length; }
  void Finish() {
    if (progress_) progress_(100);
  }

 private:
  const ImageProgress progress_;
  const uint64_t total_;
  uint64_t done_before_ = 0;
  double last_ = 0;
};

struct WriteSpec {
  ExistingImage existing = ExistingImage::kRefuse;
  bool shadow = false;
  // Shadow files: the image whose payloads stay where they are.
  std::optional<FileIdentity> base;
  const ImageProgress* progress = nullptr;
};

void WriteImageFile(const ImageDescription& description, const mcom::FilePath& destination,
                    const WriteSpec& spec) {
  const std::string problem = DescriptionProblem(description);
  if (!problem.empty()) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         destination.string() + ": cannot write the image: " + problem);
  }
  if (spec.existing == ExistingImage::kRefuse) RefuseExisting(destination);

  ImageHeader header;
  header.format = spec.shadow ? ImageFormat::kUDRW : description.format;
  header.size = description.size;
  header.layout = description.layout;
  header.shadow = spec.shadow;
  const PayloadCompression compression = image_internal::CompressionFor(header);

  const std::vector<const ImageVolume*> volumes = VolumesOf(description);
  const auto in_base = [&](const ImageVolume& volume) {
    const auto* payload = std::get_if<ImagePayload>(&volume.files);
    return payload != nullptr && spec.base && IdentityOf(payload->file->get()) == *spec.base;
  };
  uint64_t total = 0;
  for (const ImageVolume* volume : volumes) {
    const auto* payload = std::get_if<ImagePayload>(&volume->files);
    if (payload != nullptr && !in_base(*volume)) total += payload->length;
  }
  ProgressReporter reporter(spec.progress != nullptr ? *spec.progress : ImageProgress(), total);

  NewImageFile file(destination);
  if (::lseek(file.fd(), static_cast<off_t>(kImageHeaderLength), SEEK_SET) < 0) {
    Fail(mcom::LastError(), destination.string() + ": cannot write");
  }
  std::vector<StoredPayload> stored;
  for (const ImageVolume* volume : volumes) {
    StoredPayload placement;
    placement.compression = compression;
    placement.offset = file.Position();
    if (in_base(*volume)) {
      placement.in_base = true;
      placement.offset = 0;
    } else if (const auto* folder = std::get_if<mcom::FilePath>(&volume->files)) {
      placement.length = PackFolder(*folder, file.file(), compression);
    } else {
      const ImagePayload& payload = std::get<ImagePayload>(volume->files);
      placement.length = CopyPayload(
          payload, file.fd(), compression, [&](uint64_t done) { reporter.Advance(done); },
          destination.string() + ": volume " + volume->uuid);
      reporter.CompletePart(payload.length);
    }
    stored.push_back(placement);
  }

  header.metadata_offset = file.Position();
  const std::string metadata = EncodeMetadata(description, stored);
  if (metadata.size() > kMaxMetadataLength) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         destination.string() + ": the description takes more than " +
             std::to_string(kMaxMetadataLength) + " bytes");
  }
  header.metadata_length = metadata.size();
  file.WriteAt(header.metadata_offset, metadata);
  file.WriteAt(0, EncodeImageHeader(header));
  const uint64_t end = header.metadata_offset + header.metadata_length;
  if (header.format == ImageFormat::kSparse && description.size > end)
    file.Extend(description.size);
  file.Commit(spec.existing);
  reporter.Finish();
}

// The contents of the image at `path`, opened for reading only, and the file's identity.
ImageFileContents ReadContents(const mcom::FilePath& path, FileKind kind, FileIdentity* identity) {
  const std::shared_ptr<const mcom::File> file =
      image_internal::OpenImageFile(path, kind == FileKind::kImage ? "image" : "shadow file");
  if (identity != nullptr) *identity = IdentityOf(file->get());
  return ReadImageFile(FileByteSource(*file, path.string()), kind, file, path.string());
}

// Grows `description` to `size`, with its last GPT partition.
void Grow(ImageDescription& description, uint64_t size) {
  const uint64_t added = size - description.size;
  description.size = size;
  if (description.layout == ImageLayout::kGPT && !description.partitions.empty()) {
    description.partitions.back().size += added;
  }
}

}  // namespace

void CreateSparseImage(const mcom::FilePath& path, uint64_t size) {
  if (size == 0 || size > kMaxImageSize) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         path.string() + ": cannot create an image of " + std::to_string(size) + " bytes");
  }
  ImageDescription description;
  description.format = ImageFormat::kSparse;
  description.size = size;
  description.layout = ImageLayout::kNone;
  WriteImageFile(description, path, {});
}

void WriteImage(const ImageDescription& description, const mcom::FilePath& destination,
                ExistingImage existing, const ImageProgress& progress) {
  WriteSpec spec;
  spec.existing = existing;
  spec.progress = &progress;
  WriteImageFile(description, destination, spec);
}

void WriteShadow(const mcom::FilePath& image, const mcom::FilePath& shadow,
                 const ImageDescription& description) {
  FileIdentity base;
  const ImageFileContents contents = ReadContents(image, FileKind::kImage, &base);
  if (description.layout != contents.header.layout) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         shadow.string() + ": a shadow cannot change the image's layout");
  }
  ImageDescription recorded = description;
  recorded.size = std::max(recorded.size, contents.header.size);
  if (Exists(shadow)) {
    recorded.size =
        std::max(recorded.size, ReadContents(shadow, FileKind::kShadow, nullptr).header.size);
  }
  WriteSpec spec;
  spec.existing = ExistingImage::kReplace;
  spec.shadow = true;
  spec.base = base;
  WriteImageFile(recorded, shadow, spec);
}

void GrowImage(const mcom::FilePath& image, const mcom::FilePath& shadow, uint64_t size) {
  if (size > kMaxImageSize) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         image.string() + ": cannot grow to " + std::to_string(size) + " bytes");
  }
  ImageDescription description = ReadImage(image, shadow);
  if (size <= description.size) return;
  Grow(description, size);
  if (!shadow.empty()) {
    WriteShadow(image, shadow, description);
    return;
  }
  if (IsReadOnlyFormat(description.format)) {
    Fail(std::make_error_code(std::errc::read_only_file_system),
         image.string() + ": a " + ImageFormatName(description.format) + " image is read-only");
  }
  WriteImage(description, image, ExistingImage::kReplace);
}

void ConvertImage(const mcom::FilePath& source, const mcom::FilePath& shadow,
                  const mcom::FilePath& destination, ImageFormat format,
                  const ImageProgress& progress) {
  RefuseExisting(destination);
  ImageDescription description = ReadImage(source, shadow);
  description.format = format;
  WriteImage(description, destination, ExistingImage::kRefuse, progress);
}

}  // namespace sim
