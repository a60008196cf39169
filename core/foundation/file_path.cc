#include "core/foundation/file_path.h"

namespace mcom {

FilePath FilePath::Join(const char* other) const {
  if (other[0] == '/') return FilePath(other);
  return FilePath(path_ + "/" + other);
}

FilePath FilePath::Parent() const {
  const size_t slash = path_.rfind('/');
  if (slash == std::string::npos) return FilePath(".");
  if (slash == 0) return FilePath("/");
  return FilePath(path_.substr(0, slash));
}

std::string FilePath::LastComponent() const {
  if (path_.size() < 2) return path_;
  const size_t end = path_.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const size_t slash = path_.rfind('/', end);
  const size_t begin = slash == std::string::npos ? 0 : slash + 1;
  return path_.substr(begin, end + 1 - begin);
}

}  // namespace mcom
