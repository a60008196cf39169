#include "core/foundation/cf_url.h"

#include <cstring>
#include <string_view>

namespace mcom::cf {
namespace {

bool IsKeptInURL(unsigned char byte) {
  if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
      (byte >= '0' && byte <= '9')) {
    return true;
  }
  return std::string_view("-._~/!$&'()*+,=:@").find(static_cast<char>(byte)) !=
         std::string_view::npos;
}

}  // namespace

Ref<URL> URL::CreateFromFileSystemPath(const FilePath& path, bool is_directory) {
  if (path.empty() || path.string().find('\0') != std::string::npos) return nullptr;
  return Make<URL>(path, is_directory);
}

std::string URL::AbsoluteString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (const char character : path_.string()) {
    const auto byte = static_cast<unsigned char>(character);
    if (IsKeptInURL(byte)) {
      text.push_back(character);
    } else {
      text.push_back('%');
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0x0F]);
    }
  }
  if (is_directory_ && text.back() != '/') text.push_back('/');
  return text;
}

bool URL::EqualTo(const Object& other_object, int) const {
  const URL& other = static_cast<const URL&>(other_object);
  return is_directory_ == other.is_directory_ && path_ == other.path_;
}

Ref<URL> URLFromPath(const FilePath& path, bool is_directory) {
  return URL::CreateFromFileSystemPath(path, is_directory);
}

bool GetFileSystemRepresentation(const Ref<URL>& url, char* buffer, size_t size) {
  if (!url) return false;
  const std::string& path = url->path().string();
  if (path.size() >= size) return false;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return true;
}

std::optional<FilePath> PathFromURL(const Ref<URL>& url) {
  char buffer[kFileSystemRepresentationBufferSize];
  if (!GetFileSystemRepresentation(url, buffer, sizeof buffer)) return std::nullopt;
  return FilePath(buffer);
}

std::optional<FilePath> CopyPathOfURL(const Ref<URL>& url) {
  if (!url) return std::nullopt;
  return url->path();
}

}  // namespace mcom::cf
