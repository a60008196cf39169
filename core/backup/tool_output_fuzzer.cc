// Fuzz target for what the engine reads from the disk-image tool: the property lists of
// "hdiutil attach -plist" and "hdiutil info -plist". For any output: no crash, and a parse
// either refuses it or names disks that are real disk names.
//
// Input: byte 0 even = attach output, odd = info output; the rest = the tool's output.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/backup/image_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string output(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    if (const std::optional<AttachOutput> attached = ParseAttachOutput(output)) {
      if (mcom::FormatDiskName(attached->disk).rfind("disk", 0) != 0) std::abort();
    }
  } else {
    for (const AttachedImageRecord& record : ParseImageInfo(output)) {
      if (record.disk.has_slice()) std::abort();  // always the whole disk
    }
  }
  return 0;
}
