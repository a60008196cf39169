#include "helper/recovery_media/boot_files.h"

#include <string>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/directory_handle.h"
#include "core/foundation/error_category.h"
#include "core/foundation/file.h"
#include "core/foundation/log.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "helper/recovery_media/base_system_image.h"

namespace {

namespace cf = mcom::cf;

mcom::DirectoryHandle OpenFolder(const mcom::DirectoryHandle& parent, const char* name) {
  mcom::Result<mcom::File> folder = parent.OpenFile(name, mcom::kOpenRead);
  if (!folder) throw std::system_error(folder.error());
  return mcom::DirectoryHandle(folder->release(), /*remove_on_release=*/false);
}

mcom::FilePath PathOf(const mcom::DirectoryHandle& directory) {
  const mcom::Result<mcom::FilePath> path = directory.Path();
  if (!path) throw std::system_error(path.error());
  return *path;
}

// The boot configuration: the kernel's root is the image in the boot folder, and the kernel
// cache is named with the firmware's separators, relative to the volume root.
cf::Ref<cf::Data> BootConfiguration() {
  const std::string folder = kRecoveryBootFolder;
  return cf::PropertyListToData(
      cf::Dictionary::Create({"Kernel Flags", "Kernel Cache"},
                             {cf::String::Create("rp=file:///" + folder + "/BaseSystem.dmg"),
                              cf::String::Create("\\" + folder + "\\prelinkedkernel")}),
      cf::PropertyListFormat::kXML);
}

}  // namespace

void InstallBootFiles(const RecoverySource& source,
                      const mcom::disk_arbitration::MountedVolume& target,
                      CustomizeCallback customize, RecoveryProgressCallback progress) {
  const mcom::DirectoryHandle source_folder =
      OpenFolder(source.volume.directory(), source.folder.c_str());
  // An existing folder is used as it is.
  (void)target.directory().MakeDirectory(kRecoveryBootFolder);
  const mcom::DirectoryHandle boot_folder = OpenFolder(target.directory(), kRecoveryBootFolder);
  const mcom::FilePath source_path = PathOf(source_folder);
  const mcom::FilePath boot_path = PathOf(boot_folder);
  mcom::log::Info("install boot files from '%{public}s' to '%{public}s'", source_path, boot_path);

  CustomizeBaseSystemImage(source_path.Join("BaseSystem.dmg"), boot_path.Join("BaseSystem.dmg"),
                           std::move(customize), std::move(progress));
  mcom::ThrowIfError(boot_folder.CopyFileInto(source_path.Join("boot.efi"), "boot.efi"));
  mcom::ThrowIfError(
      boot_folder.CopyFileInto(source_path.Join("prelinkedkernel"), "prelinkedkernel"));

  const cf::Ref<cf::Data> configuration = BootConfiguration();
  if (!configuration) throw std::system_error(EINVAL, std::generic_category());
  mcom::Result<mcom::File> file =
      boot_folder.OpenFile("com.apple.Boot.plist", mcom::kOpenWrite | mcom::kOpenCreate |
                                                       mcom::kOpenExclusive | mcom::OpenMode(0644));
  if (!file) throw std::system_error(file.error());
  mcom::ThrowIfError(file->WriteAll(configuration->bytes(), configuration->length()));
  mcom::ThrowIfError(file->Close());

  const mcom::FilePath blessed = PathOf(boot_folder);
  mcom::ThrowIfError(mcom::RunInherited(
      "/usr/sbin/bless",
      {"--folder", blessed.string(), "--bootefi", blessed.Join("boot.efi").string()}));
}
