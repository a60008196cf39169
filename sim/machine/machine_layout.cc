#include "sim/machine/machine_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/foundation/file.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"

namespace sim {
namespace {

constexpr const char* kFolders[] = {
    "Applications",
    "Library/Application Support/com.apple.TCC",
    "Library/LaunchDaemons",
    "Library/Preferences",
    "Library/PrivilegedHelperTools",
    "Library/Logs",
    "System/Library/CoreServices",
    "System/Volumes/Data",
    "Users/Shared",
    "Volumes",
    "private/etc",
    "private/tmp",
    "private/var/log",
    "private/var/run",
    "private/var/root",
    "private/var/db/macsim/volumes",
    "private/var/db/macsim/images",
    "private/var/db/macsim/facts",
    "private/var/db/macsim/authorizations",
    "usr/bin",
    "usr/sbin",
    "sbin",
};

constexpr const char* kLinks[][2] = {
    {"tmp", "private/tmp"},
    {"var", "private/var"},
    {"etc", "private/etc"},
};

[[noreturn]] void Fail(const std::string& what, const mcom::FilePath& path, int error) {
  throw MachineError(what + " " + path.string() + ": " + std::strerror(error));
}

void CheckEmptyOrMissing(const mcom::FilePath& root) {
  std::error_code error;
  const std::filesystem::path path(root.string());
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) return;
  if (!std::filesystem::is_directory(path, error)) {
    throw MachineError("machine root is not a folder: " + root.string());
  }
  if (!std::filesystem::is_empty(path, error) || error) {
    throw MachineError("machine root is not empty: " + root.string());
  }
}

}  // namespace

const std::vector<std::string>& ToolPaths() {
  static const std::vector<std::string> paths = {
      "/usr/bin/hdiutil",   "/usr/bin/ditto", "/usr/bin/log",    "/usr/bin/sw_vers",
      "/usr/sbin/diskutil", "/usr/sbin/asr",  "/usr/sbin/bless", "/usr/sbin/ioreg",
      "/sbin/dmesg",        "/sbin/mount",    "/sbin/reboot",
  };
  return paths;
}

void CreateMachineLayout(const mcom::FilePath& root) {
  CheckEmptyOrMissing(root);
  if (std::error_code error = mcom::MakePath(root)) Fail("cannot make", root, error.value());
  for (const char* folder : kFolders) {
    const mcom::FilePath path = root.Join(folder);
    if (std::error_code error = mcom::MakePath(path)) Fail("cannot make", path, error.value());
  }
  // Like the Mac's /private/tmp: everyone may make files there, only owners remove them.
  if (::chmod(root.Join("private/tmp").c_str(), 01777) != 0) {
    Fail("cannot set the mode of", root.Join("private/tmp"), errno);
  }
  // Authorization references: any process may add one and read one whose name it was given,
  // but nobody may list them or replace another's.
  if (::chmod(AuthorizationsFolder(root).c_str(), 01733) != 0) {
    Fail("cannot set the mode of", AuthorizationsFolder(root), errno);
  }
  for (const auto& [name, target] : kLinks) {
    if (::symlink(target, root.Join(name).c_str()) != 0)
      Fail("cannot link", root.Join(name), errno);
  }
  // Every process of the machine appends to the system log, whoever made it; the mode is set
  // explicitly because the creation mode passes through the umask.
  const mcom::FilePath log = root.Join("private/var/log/system.log");
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) Fail("cannot make", log, errno);
  mcom::File log_file(fd);
  if (::fchmod(log_file.get(), 0666) != 0) Fail("cannot set the mode of", log, errno);
}

bool IsMachineRoot(const mcom::FilePath& root) {
  struct stat status {};
  return ::stat(MachinePlistPath(root).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void CheckMachineRoot(const mcom::FilePath& root) {
  if (!IsMachineRoot(root)) throw MachineError("not a machine root: " + root.string());
}

}  // namespace sim
