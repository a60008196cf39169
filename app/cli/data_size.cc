#include "app/cli/data_size.h"

#include <sys/stat.h>

#include "platform/iokit/apfs.h"

uint64_t ContainerDataBytes(APFSContainerName container) {
  platform::APFSContainerSpaceInfo info;
  const std::string name = FormatDiskName(container);
  if (platform::APFSContainerGetSpaceInfo(name.c_str(), &info, 0) != 0) return 0;
  return info.size > info.free ? info.size - info.free : 0;
}

uint64_t ImageDataBytes(const mcom::FilePath& image) {
  struct stat status;
  if (::stat(image.c_str(), &status) != 0) return 0;
  return static_cast<uint64_t>(status.st_blocks) * 512;  // st_blocks counts 512-byte units
}
