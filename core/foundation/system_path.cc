#include "core/foundation/system_path.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

namespace mcom {
namespace {

std::mutex& RootLock() {
  static std::mutex lock;
  return lock;
}

// Guarded by RootLock(); empty until first use or SetSystemRoot.
std::optional<std::string>& StoredRoot() {
  static std::optional<std::string> root;
  return root;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

FilePath SystemRoot() {
  std::lock_guard lock(RootLock());
  std::optional<std::string>& root = StoredRoot();
  if (!root) {
    const char* variable = std::getenv("DORVANE_SYSTEM_ROOT");
    root = WithoutTrailingSlashes(variable != nullptr && variable[0] != '\0' ? variable : "/");
  }
  return FilePath(*root);
}

void SetSystemRoot(const FilePath& root) {
  std::lock_guard lock(RootLock());
  StoredRoot() = WithoutTrailingSlashes(root.empty() ? "/" : root.string());
}

FilePath SystemPath(std::string_view mac_path) {
  const FilePath root = SystemRoot();
  if (root.string() == "/") return FilePath(std::string(mac_path));
  return FilePath(root.string() + std::string(mac_path));
}

}  // namespace mcom
