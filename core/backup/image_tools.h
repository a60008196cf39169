#pragma once

// The disk-image and container steps of the engine. The engine never writes images or APFS
// structures itself: it drives /usr/bin/hdiutil and /usr/sbin/diskutil with exact argument
// lists and reads the registry to find what they made. Every step runs on the calling thread
// and throws Error on failure; nothing is retried.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/attached_image.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// "hdiutil create -size <size> -type SPARSE -layout NONE <path>": an image whose whole disk is
// as large as the source container. Throws Error("CreateSparseImage", ...).
void CreateSparseImage(uint64_t size, const mcom::FilePath& path);

// "hdiutil attach -nobrowse -owners on -readonly|-readwrite -plist <path> [-nomount]".
// Returns the image's whole disk, its detach guard and the mount point of its mounted volume.
// Throws Error("AttachImage", ...). When the tool fails, or succeeds with output that cannot
// be read, whatever it attached of the image is found in the list of attached images and
// detached first (attaches that existed before are left alone).
AttachedImage AttachImage(const mcom::FilePath& path, unsigned mode);

// Detaches `image` now ("hdiutil detach -force <disk>") and disarms its guard. Throws
// Error("DetachImage", "failed to detach diskN: " + the tool's text) when the tool fails; the
// guard then stays armed and tries once more when `image` is destroyed. A read-write image
// is complete on disk only after this has succeeded.
void DetachImage(AttachedImage& image);

// One image the disk-image tool has attached: its file and its whole disk.
struct AttachedImageRecord {
  mcom::FilePath image_path;
  mcom::DiskName disk;
};

// The attached images, from "hdiutil info -plist". Throws Error("ListAttachedImages", ...)
// when the tool fails.
std::vector<AttachedImageRecord> ListAttachedImages();
// The images listed in the output of "hdiutil info -plist"; images without a path or a
// readable device are left out, and output that is no such list gives none.
std::vector<AttachedImageRecord> ParseImageInfo(const std::string& output);

// The whole disks of every attach of the image file at `path` (matched by path or by file
// identity). A failure to list them is logged and gives none.
std::vector<mcom::DiskName> AttachesOfFile(const mcom::FilePath& path);
// Detaches every attach of the image file at `path` but those in `keep` (an attach whose
// output could not be read, an image a killed run left attached). Failures are logged,
// never thrown.
void DetachImagesOfFile(const mcom::FilePath& path, const std::vector<mcom::DiskName>& keep = {});

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
