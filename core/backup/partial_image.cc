#include "core/backup/partial_image.h"

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>

#include "core/backup/image_tools.h"
#include "core/foundation/error.h"
#include "core/foundation/file.h"
#include "core/foundation/log.h"

namespace {

constexpr std::string_view kExtension = ".sparseimage";
constexpr std::string_view kMarker = ".dorvane-partial-";

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool IsRunning(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

std::optional<mcom::FilePath> Abandoned(const mcom::FilePath& path) {
  const std::optional<pid_t> writer = PartialImageWriter(path.LastComponent());
  if (!writer || IsRunning(*writer)) return std::nullopt;
  return path;
}

std::vector<std::string> FolderEntries(const mcom::FilePath& folder) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory)) names.emplace_back(entry->d_name);
  ::closedir(directory);
  return names;
}

}  // namespace

mcom::FilePath PartialImagePath(const mcom::FilePath& image, pid_t pid) {
  std::string name = image.LastComponent();
  if (EndsWith(name, kExtension)) name.resize(name.size() - kExtension.size());
  name += std::string(kMarker) + std::to_string(pid) + std::string(kExtension);
  return image.Parent().Join(name);
}

std::optional<pid_t> PartialImageWriter(std::string_view name) {
  if (!EndsWith(name, kExtension)) return std::nullopt;
  name.remove_suffix(kExtension.size());
  const size_t marker = name.rfind(kMarker);
  if (marker == std::string_view::npos || marker == 0) return std::nullopt;
  const std::string_view digits = name.substr(marker + kMarker.size());
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0 ||
      digits.front() == '0') {
    return std::nullopt;
  }
  return pid;
}

std::vector<mcom::FilePath> RemoveAbandonedPartialImages(
    const std::vector<mcom::FilePath>& folders) {
  std::vector<mcom::FilePath> candidates;
  try {
    for (const AttachedImageRecord& record : ListAttachedImages()) {
      if (std::optional<mcom::FilePath> path = Abandoned(record.image_path)) {
        candidates.push_back(*path);
      }
    }
  } catch (const Error& error) {
    mcom::log::Error("failed to look for abandoned images: %{public}s", error.FullDescription());
  }
  for (const mcom::FilePath& folder : folders) {
    for (const std::string& name : FolderEntries(folder)) {
      if (std::optional<mcom::FilePath> path = Abandoned(folder.Join(name))) {
        candidates.push_back(*path);
      }
    }
  }

  std::vector<mcom::FilePath> removed;
  for (const mcom::FilePath& path : candidates) {
    if (std::find(removed.begin(), removed.end(), path) != removed.end()) continue;
    DetachImagesOfFile(path);
    // A file is never removed from under an attached image: the next run tries again.
    if (!AttachesOfFile(path).empty()) {
      mcom::log::Error("failed to detach abandoned image %{public}s", path);
      continue;
    }
    const std::error_code error = mcom::Unlink(path);
    if (error == std::errc::no_such_file_or_directory) continue;  // the same file, named twice
    if (error) {
      mcom::log::Error("failed to remove abandoned image %{public}s: %{public}s", path,
                       error.message());
      continue;
    }
    mcom::log::Default("removed abandoned image %{public}s", path);
    removed.push_back(path);
  }
  return removed;
}
