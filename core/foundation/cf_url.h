#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/foundation/cf_object.h"
#include "core/foundation/file_path.h"

namespace mcom::cf {

// A file URL (CFURL made from a file-system path): the path as given and whether it names a
// directory. Paths are kept exactly as given, never normalised or resolved (the platform
// would resolve a relative path against the current folder; the system only uses absolute
// ones).
class URL final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kURL;

  // CFURLCreateFromFileSystemRepresentation. Null for an empty path or one holding a zero
  // byte, which no file system can have.
  static Ref<URL> CreateFromFileSystemPath(const FilePath& path, bool is_directory);

  const FilePath& path() const { return path_; }
  bool is_directory() const { return is_directory_; }

  // The URL text: "file://" and the path with every byte outside letters, digits and
  // "-._~/!$&'()*+,=:@" written as %XX, plus a final "/" for a directory that lacks one:
  // "/Volumes/My Disk" as a directory is "file:///Volumes/My%20Disk/".
  std::string AbsoluteString() const;

  URL(Passkey, FilePath path, bool is_directory)
      : Object(kTypeId), path_(std::move(path)), is_directory_(is_directory) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  FilePath path_;
  bool is_directory_;
};

// The size of the buffer the system hands to CFURLGetFileSystemRepresentation.
inline constexpr size_t kFileSystemRepresentationBufferSize = 1024;

// CFURLCreateFromFileSystemRepresentation with a flag that marks a directory; as
// URL::CreateFromFileSystemPath.
Ref<URL> URLFromPath(const FilePath& path, bool is_directory);

// CFURLGetFileSystemRepresentation: writes the path and a terminating zero into `buffer` of
// `size` bytes. False, with nothing usable written, when `url` is null or the path and its
// zero do not fit.
bool GetFileSystemRepresentation(const Ref<URL>& url, char* buffer, size_t size);

// The path of `url` taken through a kFileSystemRepresentationBufferSize buffer, as the
// system does: empty when `url` is null or the path is 1024 bytes or longer.
std::optional<FilePath> PathFromURL(const Ref<URL>& url);

// CFURLCopyFileSystemPath: the path without a length limit; empty only for null.
std::optional<FilePath> CopyPathOfURL(const Ref<URL>& url);

}  // namespace mcom::cf
