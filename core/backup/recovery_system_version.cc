#include "core/backup/recovery_system_version.h"

#include <cstdio>

#include "core/backup/image_tools.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/error.h"
#include "core/foundation/property_list.h"
#include "core/recovery/recovery_source.h"

std::optional<RecoverySystemVersion> ParseProductVersion(const std::string& text) {
  RecoverySystemVersion version;
  const int numbers =
      std::sscanf(text.c_str(), "%u.%u.%u", &version.major, &version.minor, &version.patch);
  if (numbers < 2) return std::nullopt;
  if (numbers == 2) version.patch = 0;
  return version;
}

std::optional<RecoverySystemVersion> ReadRecoverySystemVersion() {
  const std::optional<RecoverySource> source = FindRecoverySource();
  if (!source) return std::nullopt;
  const mcom::Result<mcom::FilePath> volume = source->volume.Path();
  if (!volume) return std::nullopt;
  try {
    const AttachedImage image = AttachImage(volume->Join(source->folder).Join("BaseSystem.dmg"),
                                            kAttachReadOnly | kAttachMount);
    if (!image.mount_point) return std::nullopt;
    const mcom::cf::Ref<mcom::cf::Dictionary> plist =
        mcom::cf::As<mcom::cf::Dictionary>(mcom::cf::PropertyListFromFile(
            mcom::FilePath(*image.mount_point)
                .Join("System/Library/CoreServices/SystemVersion.plist")));
    const std::optional<std::string> product = mcom::cf::GetString(plist, "ProductVersion");
    if (!product) return std::nullopt;
    return ParseProductVersion(*product);
  } catch (const Error&) {
    return std::nullopt;
  }
}
