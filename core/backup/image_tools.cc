#include "core/backup/image_tools.h"

#include <cstdio>
#include <string>
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
    throw Error("CreateSparseImage",
                "failed to create image at " + path.string() + ": " + Text(run->standard_error));
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
  mcom::Result<mcom::ToolRun> run =
      mcom::RunCapturingBothStreams(kHdiutil, AttachArguments(path, mode));
  if (!run) throw Error("AttachImage", "failed to run /usr/bin/hdiutil: " + run.error().message());
  if (run->output_read_error) {
    throw Error("AttachImage",
                "failed to read hdiutil output: " + run->output_read_error.message());
  }
  if (run->exit_status) {
    throw Error("AttachImage",
                "failed to attach image at " + path.string() + ": " + Text(run->standard_error));
  }
  const std::string output = Text(run->standard_output);
  const std::optional<AttachOutput> attached = ParseAttachOutput(output);
  if (!attached) throw Error("AttachImage", "failed to parse hdiutil output: " + output);

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
  const std::string command =
      mcom::ShellCommand(kHdiutil, {"detach", "-force", mcom::FormatDiskName(whole)});
  AttachedImage image{
      whole, std::make_unique<DetachGuard>([command] { (void)mcom::RunThroughShell(command); }),
      attached->mount_point};
  return image;
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
    throw Error("CreateAPFSContainer",
                "failed to create APFS container on " + name + ": " + Text(run->standard_error));
  }
  const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(disk);
  if (!container) throw Error("CreateAPFSContainer", "failed to find created container on " + name);
  return *container;
}
