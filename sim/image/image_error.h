#pragma once

#include <system_error>
#include <type_traits>

namespace sim {

// The errors of the image format itself. Everything in sim/image reports failure by throwing
// std::system_error: with an errno value (generic category) when the file system refused
// something (EEXIST, ENOENT, EACCES, ENOSPC, ...) or the caller asked for something
// impossible (EINVAL, EROFS), and with one of these when the bytes are at fault. The
// exception's what() names the file and says exactly what was wrong; code().message() is
// the short text below, in the words hdiutil uses.
enum class ImageErrc {
  // "image not recognized": not an image of this format at all (no magic line, an
  // unreadable header), or a shadow file where an image was expected and the reverse.
  kNotRecognized = 1,
  // "corrupt image": the header, the metadata or a payload breaks the format (truncated
  // file, offsets past the end, absurd sizes, missing or mistyped keys, a damaged archive).
  kCorrupt = 2,
  // "unsafe payload entry": a payload holds an entry that would land outside its volume or
  // go through a link (an absolute path, "..", a path below a symbolic link, a hard link to
  // something that is not a file of the volume).
  kUnsafePayload = 3,
};

// The category of ImageErrc; name() is "sim::image".
const std::error_category& image_category();

std::error_code make_error_code(ImageErrc error);

}  // namespace sim

template <>
struct std::is_error_code_enum<sim::ImageErrc> : std::true_type {};
