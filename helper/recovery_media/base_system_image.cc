#include "helper/recovery_media/base_system_image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/directory_handle.h"
#include "core/foundation/error_category.h"
#include "core/foundation/file.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "core/foundation/temporary_directory.h"
#include "core/foundation/tool_run.h"

namespace {

namespace cf = mcom::cf;

constexpr char kHdiutil[] = "/usr/bin/hdiutil";
constexpr char kUtilitiesList[] =
    "System/Installation/CDIS/macOS Utilities.app/Contents/Resources/Utilities.plist";

using mcom::RunInherited;

mcom::DirectoryHandle TemporaryDirectory() {
  mcom::Result<mcom::DirectoryHandle> directory = mcom::MakeAndOpenTemporaryDirectory();
  if (!directory) throw std::system_error(directory.error());
  return std::move(*directory);
}

mcom::FilePath PathOf(const mcom::DirectoryHandle& directory) {
  const mcom::Result<mcom::FilePath> path = directory.Path();
  if (!path) throw std::system_error(path.error());
  return *path;
}

// The Utilities list's content, or nothing when it cannot be read whole.
std::optional<std::vector<char>> ReadWhole(const mcom::FilePath& path) {
  const mcom::Result<mcom::File> file = mcom::Open(path, mcom::kOpenRead);
  if (!file) return std::nullopt;
  const mcom::Result<mcom::FileStatus> status = mcom::StatusOf(*file);
  if (!status) return std::nullopt;
  std::vector<char> bytes(status->size);
  const mcom::Result<size_t> read = file->Read(bytes.data(), bytes.size());
  if (!read || *read != bytes.size()) return std::nullopt;
  return bytes;
}

// Puts the application's entry first in the Utilities list at root. A list that is missing
// or not of the expected shape is left alone: the application is there all the same.
void ListInUtilities(const mcom::FilePath& root, const std::string& folder,
                     const std::string& title, const std::string& description) {
  const mcom::FilePath list_path = root.Join(kUtilitiesList);
  const std::optional<std::vector<char>> bytes = ReadWhole(list_path);
  if (!bytes) return;
  const cf::Ref<cf::Dictionary> list =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(bytes->data(), bytes->size()));
  const cf::Ref<cf::Array> buttons = list ? list->GetArray("Buttons") : nullptr;
  if (!buttons) return;

  const cf::Ref<cf::Bundle> bundle = cf::Bundle::Create(
      cf::URLFromPath(root.Join("Applications").Join(folder), /*is_directory=*/true));
  const std::optional<mcom::FilePath> executable =
      bundle ? cf::CopyPathOfURL(bundle->ExecutableURL()) : std::nullopt;
  if (!executable) return;

  const std::string bundle_path = "/Applications/" + folder;
  const cf::Ref<cf::Dictionary> entry = cf::Dictionary::Create(
      {"BundlePath", "DescriptionKey", "Path", "TitleKey"},
      {cf::String::Create(bundle_path), cf::String::Create(description),
       cf::String::Create(bundle_path + "/Contents/MacOS/" + executable->LastComponent()),
       cf::String::Create(title)});
  const cf::Ref<cf::MutableArray> new_buttons = buttons->MutableCopy();
  new_buttons->Insert(0, entry);
  const cf::Ref<cf::MutableDictionary> new_list = list->MutableCopy();
  new_list->SetValue("Buttons", new_buttons);

  const cf::Ref<cf::Data> data = cf::PropertyListToData(new_list, cf::PropertyListFormat::kXML);
  if (!data) return;
  // Written over the existing file, which is never created here.
  const int fd = ::open(list_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return;
  const mcom::File file(fd);
  mcom::ThrowIfError(file.WriteAll(data->bytes(), data->length()));
}

}  // namespace

void CustomizeBaseSystemImage(const mcom::FilePath& source, const mcom::FilePath& destination,
                              CustomizeCallback customize, RecoveryProgressCallback progress) {
  mcom::DirectoryHandle shadow_directory = TemporaryDirectory();
  const std::string shadow = PathOf(shadow_directory).Join("shadow").string();
  // Lets the shadowed image grow for what the customisation adds; an image that cannot be
  // used fails the attach below.
  try {
    (void)RunInherited(kHdiutil,
                       {"resize", "-size", "2g", "-growonly", source.string(), "-shadow", shadow});
  } catch (const std::system_error&) {
  }

  progress(std::string_view("Customize Base System image"));
  {
    mcom::DirectoryHandle mount_directory = TemporaryDirectory();
    const std::string mount_point = PathOf(mount_directory).string();
    mcom::ThrowIfError(
        RunInherited(kHdiutil, {"attach", "-mount", "required", "-mountpoint", mount_point,
                                "-noverify", "-noautoopen", source.string(), "-shadow", shadow}));
    // A callback that throws still leaves the image detached.
    std::error_code result;
    try {
      if (customize) result = customize(mcom::FilePath(mount_point));
    } catch (...) {
      (void)RunInherited(kHdiutil, {"detach", mount_point});
      throw;
    }
    mcom::ThrowIfError(RunInherited(kHdiutil, {"detach", mount_point}));
    if (result) throw std::system_error(result);
    (void)mount_directory.Release();
  }

  progress(std::string_view("Compress Base System image"));
  mcom::Result<mcom::LineReadingTool> convert = mcom::LineReadingTool::Start(
      kHdiutil, {"convert", "-format", "UDZO", "-o", destination.string(), "-puppetstrings",
                 source.string(), "-shadow", shadow});
  if (!convert) throw std::system_error(convert.error());
  while (const std::optional<std::string> line = convert->ReadLine()) {
    double percent = 0;
    if (std::sscanf(line->c_str(), "PERCENT:%lf", &percent) == 1) progress(percent / 100.0);
  }
  mcom::ThrowIfError(convert->Wait());
  (void)shadow_directory.Release();
}

void AddApplicationToBaseSystem(const mcom::FilePath& root, const mcom::FilePath& bundle,
                                const std::string& identifier, const std::string& team_identifier,
                                const std::string& title, const std::string& description,
                                helper::CertificateKind kind) {
  mcom::DirectoryHandle staging = TemporaryDirectory();
  const std::string folder = bundle.LastComponent();
  const mcom::FilePath staged = PathOf(staging).Join(folder);
  mcom::ThrowIfError(mcom::CopyTree(bundle, staged));
  // The copy is checked, not the original: what goes onto the recovery disk is what was
  // checked, whatever happens to the original meanwhile.
  const helper::StaticCode code = helper::CreateStaticCode(staged);
  helper::ValidateStaticCode(code.get(), identifier, team_identifier, kind);
  mcom::ThrowIfError(mcom::CopyTree(staged, root.Join("Applications").Join(folder)));
  ListInUtilities(root, folder, title, description);
  (void)staging.Release();
}

CustomizeCallback MakeApplicationCustomizer(const mcom::FilePath& bundle,
                                            helper::CertificateKind kind) {
  return [bundle, kind](const mcom::FilePath& root) {
    // The application needs the Swift runtime, which a Base System may lack; both steps are
    // best effort.
    (void)mcom::MakePath(root.Join("usr/lib"));
    (void)mcom::CopyTree(mcom::SystemPath("/usr/lib/swift"), root.Join("usr/lib/swift"));
    AddApplicationToBaseSystem(root, bundle, helper::kApplicationIdentifier,
                               helper::kTeamIdentifier, "Halvex Backup and Recovery", "", kind);
    return std::error_code(0, std::system_category());
  };
}
