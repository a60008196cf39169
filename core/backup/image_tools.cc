#include "core/backup/image_tools.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/discovery/apfs_container.h"
#include "core/discovery/whole_disk.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/error.h"
#include "core/foundation/log.h"
#include "core/foundation/property_list.h"
#include "core/foundation/tool_run.h"

namespace {

constexpr char kHdiutil[] = "/usr/bin/hdiutil";
constexpr char kDiskutil[] = "/usr/sbin/diskutil";

std::string Text(const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Runs "hdiutil detach -force <disk>", announced on standard output as every clean-up run
// is. Returns the tool's error text when it failed (never empty), else nothing.
std::optional<std::string> RunDetach(mcom::DiskName disk) {
  const std::vector<std::string> arguments{"detach", "-force", mcom::FormatDiskName(disk)};
  std::printf("--- run %s ---\n", mcom::ShellCommand(kHdiutil, arguments).c_str());
  std::fflush(stdout);
  mcom::Result<mcom::ToolRun> run =
      mcom::RunCapturingStandardError(kHdiutil, arguments, mcom::ErrorReadFailure::kKeepText);
  if (!run) return "failed to run /usr/bin/hdiutil: " + run.error().message();
  if (!run->exit_status) return std::nullopt;
  std::string text = mcom::ToolText(run->standard_error);
  if (text.empty()) text = "hdiutil exited with status " + std::to_string(run->exit_status.value());
  return text;
}

// The detach that cleans up after a failed step. A tool that was working on the image may
// still be letting go of it (an asr whose helper died ends at its next progress line), so a
// busy image is tried again for a few seconds before it is left for the next run to detach.
void DetachForCleanUp(mcom::DiskName disk) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    const std::optional<std::string> failure = RunDetach(disk);
    if (!failure) return;
    if (failure->find("Resource busy") == std::string::npos ||
        std::chrono::steady_clock::now() >= deadline) {
      mcom::log::Error("failed to detach %{public}s: %{public}s", mcom::FormatDiskName(disk),
                       *failure);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool SameFile(const std::string& left, const std::string& right) {
  if (left == right) return true;
  struct stat a;
  struct stat b;
  return ::stat(left.c_str(), &a) == 0 && ::stat(right.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

}  // namespace

DetachGuard::~DetachGuard() {
  if (!detach_) return;
  try {
    detach_();
  } catch (...) {
    // Detaching is best effort and must never turn into a second failure.
  }
}

void CreateSparseImage(uint64_t size, const mcom::FilePath& path) {
  const std::vector<std::string> arguments{
      "create", "-size", std::to_string(size), "-type", "SPARSE", "-layout", "NONE", path.string()};
  mcom::Result<mcom::ToolRun> run =
      mcom::RunCapturingStandardError(kHdiutil, arguments, mcom::ErrorReadFailure::kDiscardText);
  if (!run) {
    throw Error("CreateSparseImage", "failed to run /usr/bin/hdiutil: " + run.error().message());
  }
  if (run->exit_status) {
    throw Error("CreateSparseImage", "failed to create image at " + path.string() + ": " +
                                         mcom::ToolText(run->standard_error));
  }
}

std::vector<std::string> AttachArguments(const mcom::FilePath& path, unsigned mode) {
  std::vector<std::string> arguments{"attach",
                                     "-nobrowse",
                                     "-owners",
                                     "on",
                                     (mode & kAttachReadOnly) ? "-readonly" : "-readwrite",
                                     "-plist",
                                     path.string()};
  if (!(mode & kAttachMount)) arguments.push_back("-nomount");
  return arguments;
}

std::optional<AttachOutput> ParseAttachOutput(const std::string& output) {
  using namespace mcom::cf;
  const Ref<Dictionary> root = As<Dictionary>(PropertyListFromBytes(output.data(), output.size()));
  if (!root) return std::nullopt;
  const Ref<Array> entities = root->GetArray("system-entities");
  if (!entities || entities->Count() < 1) return std::nullopt;
  // Only the first entity counts, whatever order the tool lists them in.
  const Ref<Dictionary> first = As<Dictionary>(entities->GetValue(0));
  if (!first) return std::nullopt;
  const std::optional<std::string> device = first->GetString("dev-entry");
  if (!device) return std::nullopt;
  const std::optional<mcom::DiskName> disk =
      mcom::ParseDiskName(mcom::FilePath(*device).LastComponent());
  if (!disk) return std::nullopt;
  // The tool lists the whole disk and its partitions in no fixed order, and only the
  // mounted volume's entity has a mount point: taking it from the first entity alone would
  // lose it whenever the whole disk comes first, as it usually does.
  std::optional<std::string> mount_point = first->GetString("mount-point");
  for (size_t i = 1; !mount_point && i < entities->Count(); ++i) {
    mount_point = GetString(As<Dictionary>(entities->GetValue(i)), "mount-point");
  }
  return AttachOutput{*disk, mount_point};
}

AttachedImage AttachImage(const mcom::FilePath& path, unsigned mode) {
  // Attaches that exist already belong to someone else; a failed attach detaches only what
  // it made itself.
  const std::vector<mcom::DiskName> earlier = AttachesOfFile(path);
  mcom::Result<mcom::ToolRun> run =
      mcom::RunCapturingBothStreams(kHdiutil, AttachArguments(path, mode));
  if (!run) throw Error("AttachImage", "failed to run /usr/bin/hdiutil: " + run.error().message());
  if (run->output_read_error) {
    DetachImagesOfFile(path, earlier);
    throw Error("AttachImage",
                "failed to read hdiutil output: " + run->output_read_error.message());
  }
  if (run->exit_status) {
    // A tool may fail after it attached the image (while it mounts, or on its way out):
    // nothing may stay attached that no guard will detach.
    DetachImagesOfFile(path, earlier);
    throw Error("AttachImage", "failed to attach image at " + path.string() + ": " +
                                   mcom::ToolText(run->standard_error));
  }
  const std::string output = Text(run->standard_output);
  const std::optional<AttachOutput> attached = ParseAttachOutput(output);
  if (!attached) {
    // The tool said it attached the image, but what it printed names no disk: the image must
    // not stay attached behind our back.
    DetachImagesOfFile(path, earlier);
    throw Error("AttachImage", "failed to parse hdiutil output: " + output);
  }

  // From here on the image is attached: the guard must exist before anything else can throw,
  // or a failed registry look-up would leave the image attached. Detaching any of the image's
  // disks detaches the whole image, so the parsed disk serves until the whole disk is known.
  mcom::DiskName whole = attached->disk;
  try {
    whole = mcom::WholeDiskForDisk(attached->disk).value_or(attached->disk);
  } catch (const std::system_error& error) {
    mcom::log::Error("failed to find whole disk of %{public}s: %{public}s",
                     mcom::FormatDiskName(attached->disk), error.what());
  }
  AttachedImage image{whole, std::make_unique<DetachGuard>([whole] { DetachForCleanUp(whole); }),
                      attached->mount_point};
  return image;
}

void DetachImage(AttachedImage& image) {
  if (std::optional<std::string> failure = RunDetach(image.disk)) {
    throw Error("DetachImage",
                "failed to detach " + mcom::FormatDiskName(image.disk) + ": " + *failure);
  }
  if (image.detach) image.detach->Dismiss();
}

std::vector<AttachedImageRecord> ParseImageInfo(const std::string& output) {
  using namespace mcom::cf;
  std::vector<AttachedImageRecord> records;
  const Ref<Dictionary> root = As<Dictionary>(PropertyListFromBytes(output.data(), output.size()));
  const Ref<Array> images = GetArray(root, "images");
  if (!images) return records;
  for (size_t i = 0; i < images->Count(); ++i) {
    const Ref<Dictionary> image = As<Dictionary>(images->GetValue(i));
    const std::optional<std::string> path = GetString(image, "image-path");
    const Ref<Array> entities = GetArray(image, "system-entities");
    if (!path || !entities) continue;
    // Any of the image's devices names its whole disk; detaching that detaches them all.
    for (size_t j = 0; j < entities->Count(); ++j) {
      const std::optional<std::string> device =
          GetString(As<Dictionary>(entities->GetValue(j)), "dev-entry");
      const std::optional<mcom::DiskName> disk =
          device ? mcom::ParseDiskName(mcom::FilePath(*device).LastComponent()) : std::nullopt;
      if (disk) {
        records.push_back({mcom::FilePath(*path), mcom::DiskName{disk->disk}});
        break;
      }
    }
  }
  return records;
}

std::vector<AttachedImageRecord> ListAttachedImages() {
  mcom::Result<mcom::ToolRun> run = mcom::RunCapturingBothStreams(kHdiutil, {"info", "-plist"});
  if (!run) {
    throw Error("ListAttachedImages", "failed to run /usr/bin/hdiutil: " + run.error().message());
  }
  if (run->exit_status || run->output_read_error) {
    throw Error("ListAttachedImages",
                "failed to list attached images: " + mcom::ToolText(run->standard_error));
  }
  return ParseImageInfo(Text(run->standard_output));
}

std::vector<mcom::DiskName> AttachesOfFile(const mcom::FilePath& path) {
  std::vector<mcom::DiskName> disks;
  try {
    for (const AttachedImageRecord& record : ListAttachedImages()) {
      if (SameFile(record.image_path.string(), path.string())) disks.push_back(record.disk);
    }
  } catch (const Error& error) {
    mcom::log::Error("failed to find the disks of %{public}s: %{public}s", path,
                     error.FullDescription());
  }
  return disks;
}

void DetachImagesOfFile(const mcom::FilePath& path, const std::vector<mcom::DiskName>& keep) {
  for (const mcom::DiskName disk : AttachesOfFile(path)) {
    if (std::find(keep.begin(), keep.end(), disk) != keep.end()) continue;
    if (std::optional<std::string> failure = RunDetach(disk)) {
      mcom::log::Error("failed to detach %{public}s of %{public}s: %{public}s",
                       mcom::FormatDiskName(disk), path, *failure);
    }
  }
}

APFSContainerName CreateAPFSContainer(mcom::DiskName disk) {
  const std::string name = mcom::FormatDiskName(disk);
  mcom::Result<mcom::ToolRun> run = mcom::RunCapturingStandardError(
      kDiskutil, {"apfs", "createContainer", name}, mcom::ErrorReadFailure::kKeepText);
  if (!run) {
    throw Error("CreateAPFSContainer",
                "failed to run /usr/sbin/diskutil: " + run.error().message());
  }
  if (run->exit_status) {
    throw Error("CreateAPFSContainer", "failed to create APFS container on " + name + ": " +
                                           mcom::ToolText(run->standard_error));
  }
  const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(disk);
  if (!container) throw Error("CreateAPFSContainer", "failed to find created container on " + name);
  return *container;
}
