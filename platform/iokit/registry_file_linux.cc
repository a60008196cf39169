#ifndef __linux__
#error "This file reads the simulated Mac's registry file on Linux only."
#endif

#include "platform/iokit/registry_file_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"

namespace platform::iokit_internal {
namespace {

constexpr const char* kRegistryPath = "/private/var/db/macsim/registry.plist";

// A real registry is a few megabytes; anything far beyond is not one, and reading it would
// only exhaust memory.
constexpr off_t kLargestRegistry = off_t{256} << 20;

// What tells one version of the file from another. A machine writes a new registry into a
// new file and renames it into place, so each version has its own inode; size and time
// guard against a file rewritten in place.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_seconds = 0;
  int64_t modified_nanoseconds = 0;

  explicit FileIdentity(const struct stat& status)
      : device(status.st_dev),
        inode(status.st_ino),
        size(status.st_size),
        modified_seconds(status.st_mtim.tv_sec),
        modified_nanoseconds(status.st_mtim.tv_nsec) {}
  FileIdentity() = default;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The last file parsed, with what came of it (a registry, or kIOReturnError).
struct Cache {
  std::mutex mutex;
  bool filled = false;
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const RegistrySnapshot> registry;
  IOReturn status = kIOReturnSuccess;
};

Cache& TheCache() {
  static Cache* const cache = new Cache();  // never destroyed: used until the process ends
  return *cache;
}

std::atomic<size_t> parse_count{0};

std::string ErrnoText(int error) { return std::strerror(error); }

// Reads the whole regular file open on `fd`, whose status is `status`; false with the
// reason in `problem` when it cannot.
bool ReadRegistryFile(int fd, const struct stat& status, std::string* contents,
                      std::string* problem) {
  if (!S_ISREG(status.st_mode)) {
    *problem = "not a regular file";
    return false;
  }
  if (status.st_size > kLargestRegistry) {
    *problem = "larger than 256 MiB";
    return false;
  }
  contents->clear();
  contents->reserve(static_cast<size_t>(status.st_size));
  char buffer[1 << 16];
  while (true) {
    const ssize_t count = mcom::RetryOnInterrupt([&] { return read(fd, buffer, sizeof buffer); });
    if (count < 0) {
      *problem = ErrnoText(errno);
      return false;
    }
    if (count == 0) return true;
    if (contents->size() + static_cast<size_t>(count) > static_cast<size_t>(kLargestRegistry)) {
      *problem = "larger than 256 MiB";
      return false;
    }
    contents->append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace

IOReturn CurrentRegistry(std::shared_ptr<const RegistrySnapshot>* registry) {
  const std::string path = mcom::SystemPath(kRegistryPath).string();
  Cache& cache = TheCache();
  const std::lock_guard<std::mutex> lock(cache.mutex);

  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      *registry = RegistrySnapshot::Empty();
      return kIOReturnSuccess;
    }
    mcom::log::Error("registry %s cannot be used: %s", path, ErrnoText(error));
    *registry = nullptr;
    return kIOReturnError;
  }
  if (cache.filled && cache.path == path && cache.identity == FileIdentity(status)) {
    *registry = cache.registry;
    return cache.status;
  }

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {  // removed since the stat
      *registry = RegistrySnapshot::Empty();
      return kIOReturnSuccess;
    }
    mcom::log::Error("registry %s cannot be used: %s", path, ErrnoText(error));
    *registry = nullptr;
    return kIOReturnError;
  }
  std::string contents;
  std::string problem;
  bool read_whole = fstat(fd, &status) == 0;
  if (!read_whole) problem = ErrnoText(errno);
  read_whole = read_whole && ReadRegistryFile(fd, status, &contents, &problem);
  close(fd);

  std::shared_ptr<const RegistrySnapshot> parsed;
  if (read_whole) {
    parse_count.fetch_add(1, std::memory_order_relaxed);
    parsed = RegistrySnapshot::FromBytes(contents.data(), contents.size(), &problem);
  }
  if (!parsed) mcom::log::Error("registry %s cannot be used: %s", path, problem);

  cache.filled = true;
  cache.path = path;
  cache.identity = FileIdentity(status);
  cache.registry = parsed;
  cache.status = parsed ? kIOReturnSuccess : kIOReturnError;
  *registry = parsed;
  return cache.status;
}

size_t RegistryParseCountForTesting() { return parse_count.load(std::memory_order_relaxed); }

}  // namespace platform::iokit_internal
