#pragma once

// The disk-image and container steps of the engine. The engine never writes images or APFS
// structures itself: it drives /usr/bin/hdiutil and /usr/sbin/diskutil with exact argument
// lists and reads the registry to find what they made. Every step runs on the calling thread
// and throws Error on failure; nothing is retried.

#include <cstdint>
#include <optional>
#include <string>

#include "core/backup/attached_image.h"
#include "core/discovery/disk_name.h"
#include "core/foundation/file_path.h"

// "hdiutil create -size <size> -type SPARSE -layout NONE <path>": an image whose whole disk is
// as large as the source container. Throws Error("CreateSparseImage", ...).
void CreateSparseImage(uint64_t size, const mcom::FilePath& path);

// "hdiutil attach -nobrowse -owners on -readonly|-readwrite -plist <path> [-nomount]".
// Returns the image's whole disk, its detach guard and the mount point of its mounted volume.
// Throws Error("AttachImage", ...).
AttachedImage AttachImage(const mcom::FilePath& path, unsigned mode);

// The argument list of an attach in `mode`.
std::vector<std::string> AttachArguments(const mcom::FilePath& path, unsigned mode);

// What the attach's property list says: the first entity's disk, and the mount point of the
// first entity that has one. Empty when the output is not what the tool prints (see
// AttachImage).
struct AttachOutput {
  mcom::DiskName disk;
  std::optional<std::string> mount_point;
};
std::optional<AttachOutput> ParseAttachOutput(const std::string& output);

// "diskutil apfs createContainer <disk>", then the new container found on the disk.
// Throws Error("CreateAPFSContainer", ...).
APFSContainerName CreateAPFSContainer(mcom::DiskName disk);
