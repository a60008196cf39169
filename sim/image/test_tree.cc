#include "sim/image/test_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/extended_attributes.h"

namespace sim_test {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : a + "/" + b; }

void MakeFolder(const std::string& path, mode_t mode) {
  Check(::mkdir(path.c_str(), 0700) == 0, "mkdir " + path);
  Check(::chmod(path.c_str(), mode) == 0, "chmod " + path);
}

void SetAttribute(const std::string& path, const char* name, const std::string& value) {
  Check(!platform::SetAttribute(path.c_str(), name, value.data(), value.size()),
        "setxattr " + path);
}

void SetTimes(const std::string& path, int64_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{seconds + 1000, nanoseconds + 7}, {seconds, nanoseconds}};
  Check(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

// Opens for reading without changing the access time (the tests own every file, or are root).
int OpenQuietly(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
  return ::open(path.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

std::string Contents(const std::string& path) {
  const int fd = OpenQuietly(path, 0);
  if (fd < 0) return "<unreadable>";
  std::string bytes;
  char buffer[1 << 16];
  for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, count);
  ::close(fd);
  return bytes;
}

std::vector<std::string> Names(const std::string& path) {
  std::vector<std::string> names;
  const int fd = OpenQuietly(path, O_DIRECTORY);
  if (fd < 0) return names;
  DIR* directory = ::fdopendir(fd);
  while (const dirent* item = ::readdir(directory)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

// A socket bound at `path` and closed again, as a process that served on it leaves it. The
// address is taken through the folder's descriptor, so that a long temporary path still fits
// the 108 bytes of a socket address.
void MakeSocket(const std::string& path) {
  const size_t slash = path.rfind('/');
  const int folder = ::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(folder >= 0 && fd >= 0, "socket " + path);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string name = "/proc/self/fd/" + std::to_string(folder) + path.substr(slash);
  Check(name.size() < sizeof address.sun_path, "socket address " + name);
  name.copy(address.sun_path, name.size());
  Check(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
        "bind " + path);
  ::close(fd);
  ::close(folder);
}

}  // namespace

void WriteFile(const mcom::FilePath& path, uint64_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525 + 1013904223;
    byte = static_cast<char>(seed >> 24);
  }
  WriteBytes(path, bytes);
}

void WriteBytes(const mcom::FilePath& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "create " + path.string());
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
    Check(count > 0, "write " + path.string());
    done += static_cast<size_t>(count);
  }
  ::close(fd);
}

std::string ReadBytes(const mcom::FilePath& path) { return Contents(path.string()); }

std::string DataRegions(const mcom::FilePath& path) {
  const int fd = OpenQuietly(path.string(), 0);
  if (fd < 0) return "<unreadable>";
  std::string regions;
  off_t position = 0;
  for (;;) {
    const off_t data = ::lseek(fd, position, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    std::string bytes(static_cast<size_t>(hole - data), '\0');
    if (::pread(fd, bytes.data(), bytes.size(), data) != static_cast<ssize_t>(bytes.size())) {
      bytes = "<unreadable>";
    }
    regions += std::to_string(data) + ":" + std::to_string(hole - data) + ":" + bytes;
    position = hole;
  }
  ::close(fd);
  return regions;
}

void MakeRichTree(const mcom::FilePath& root_path, uint32_t seed) {
  const std::string root = root_path.string();
  const auto at = [&](const std::string& relative) { return mcom::FilePath(Join(root, relative)); };
  MakeFolder(root, 0755);
  MakeFolder(at("System").string(), 0755);
  MakeFolder(at("System/Library").string(), 0755);
  MakeFolder(at("System/Library/CoreServices").string(), 0755);
  MakeFolder(at("Users").string(), 0755);
  MakeFolder(at("Users/Shared").string(), 01777);
  MakeFolder(at("Applications").string(), 02775);
  MakeFolder(at("private").string(), 0700);
  MakeFolder(at("empty folder").string(), 0755);

  const uint64_t sizes[] = {0, 1, 511, 512, 4095, 4096, 65537, 3 << 20};
  for (size_t index = 0; index < std::size(sizes); ++index) {
    WriteFile(at("System/Library/CoreServices/file-" + std::to_string(sizes[index])), sizes[index],
              seed + static_cast<uint32_t>(index));
  }
  WriteFile(at("Users/Shared/caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt"), 100, seed + 20);
  WriteFile(at("Applications/Tool"), 9000, seed + 21);
  Check(::chmod(at("Applications/Tool").c_str(), 0755) == 0, "chmod");
  WriteFile(at("Applications/setuid-tool"), 300, seed + 22);
  Check(::chmod(at("Applications/setuid-tool").c_str(), 04755) == 0, "chmod");
  WriteFile(at("private/secret"), 40, seed + 23);
  Check(::chmod(at("private/secret").c_str(), 0600) == 0, "chmod");
  WriteFile(at("read-only"), 10, seed + 24);
  Check(::chmod(at("read-only").c_str(), 0444) == 0, "chmod");
  MakeFolder(at("private/owner-only").string(), 0700);
  WriteFile(at("private/owner-only/inside"), 5, seed + 25);

  // Sparse files: data, a hole, data; data then a hole to the end; nothing but a hole.
  {
    const int fd = ::open(at("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    Check(fd >= 0, "create sparse");
    Check(::pwrite(fd, "head", 4, 0) == 4 && ::pwrite(fd, "middle", 6, 5 << 20) == 6 &&
              ::pwrite(fd, "tail", 4, (10 << 20) - 4) == 4,
          "write sparse");
    ::close(fd);
    const int tail_fd = ::open(at("ends-in-hole").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    Check(
        tail_fd >= 0 && ::pwrite(tail_fd, "data", 4, 0) == 4 && ::ftruncate(tail_fd, 8 << 20) == 0,
        "write ends-in-hole");
    ::close(tail_fd);
    const int hole_fd = ::open(at("all-hole").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    Check(hole_fd >= 0 && ::ftruncate(hole_fd, 4 << 20) == 0, "write all-hole");
    ::close(hole_fd);
  }

  Check(::symlink("file-4096", at("System/Library/CoreServices/relative link").c_str()) == 0,
        "symlink");
  Check(::symlink("/System/Library", at("absolute link").c_str()) == 0, "symlink");
  Check(::symlink("nothing/here", at("dangling link").c_str()) == 0, "symlink");
  Check(::symlink("System", at("folder link").c_str()) == 0, "symlink");
  Check(::link(at("Applications/Tool").c_str(), at("hard link to Tool").c_str()) == 0, "link");
  Check(::mkfifo(at("fifo").c_str(), 0640) == 0, "mkfifo");
  MakeSocket(at("private/socket").string());
  // Device nodes need root; where the host refuses them even so, the tree has none.
  if (::geteuid() == 0 && ::mknod(at("private/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    Check(::mknod(at("private/disk").c_str(), S_IFBLK | 0640, makedev(7, 200)) == 0, "mknod");
  }

  std::string finder_info(32, '\0');
  for (size_t index = 0; index < finder_info.size(); ++index) {
    finder_info[index] = static_cast<char>(seed * 31 + index * 7);
  }
  SetAttribute(at("Applications/Tool").string(), "com.apple.FinderInfo", finder_info);
  SetAttribute(at("Applications/Tool").string(), "com.apple.quarantine",
               "0083;5f0a1b2c;Safari;8E2F");
  SetAttribute(at("Applications").string(), "com.apple.FinderInfo", finder_info);
  SetAttribute(at("read-only").string(), "com.apple.metadata:empty", "");
  SetAttribute(root, "com.apple.rootless", "root of the volume");

  if (::geteuid() == 0) {
    Check(::lchown(at("Users/Shared").c_str(), 501, 20) == 0, "chown");
    Check(::lchown(at("private/secret").c_str(), 501, 20) == 0, "chown");
    Check(::lchown(at("dangling link").c_str(), 501, 20) == 0, "chown");
    // chown clears the set-id bits; set them again.
    Check(::chmod(at("Users/Shared").c_str(), 01777) == 0, "chmod");
  }

  // Times last, innermost first, each different and with nanoseconds.
  int64_t when = 1600000000 + seed * 1000;
  long nanoseconds = 123456789;
  std::vector<std::string> everything;
  const std::function<void(const std::string&)> walk = [&](const std::string& relative) {
    const std::string path = Join(root, relative);
    struct stat status;
    Check(::lstat(path.c_str(), &status) == 0, "lstat " + path);
    if (S_ISDIR(status.st_mode)) {
      for (const std::string& name : Names(path)) walk(Join(relative, name));
    }
    everything.push_back(path);
  };
  walk("");
  for (const std::string& path : everything) {
    SetTimes(path, when++, nanoseconds);
    nanoseconds = (nanoseconds + 1000003) % 999999999;
  }
  Check(::chmod(root.c_str(), 0750) == 0, "chmod root");
}

uint64_t AllocatedBytes(const mcom::FilePath& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

}  // namespace sim_test
