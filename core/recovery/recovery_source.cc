#include "core/recovery/recovery_source.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "core/discovery/service_query.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/directory_handle.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "platform/disk_management/dm_manager.h"
#include "platform/iokit/io_kit_lib.h"

namespace {

namespace da = mcom::disk_arbitration;

// The partition type of an Apple boot partition, which the recovery volume carries.
constexpr char kAppleBootContent[] = "426F6F74-0000-11AA-AA11-00306543ECAC";

// The names a boot folder must hold, sorted byte-wise for std::includes.
const std::vector<std::string>& RequiredBootFiles() {
  static std::once_flag once;
  static std::vector<std::string> names;
  std::call_once(once, [] {
    names = {"BaseSystem.dmg"};
    std::sort(names.begin(), names.end());
  });
  return names;
}

// Whether the folder `name` under `root` holds every required boot file. A folder that cannot
// be opened or listed does not.
bool HoldsBootFiles(const mcom::DirectoryHandle& root, const std::string& name) {
  mcom::Result<mcom::File> opened = root.OpenFile(name.c_str(), mcom::kOpenRead);
  if (!opened) return false;
  mcom::DirectoryHandle folder(opened->release(), false);
  mcom::Result<std::vector<std::string>> entries = folder.List();
  if (!entries) return false;
  std::sort(entries->begin(), entries->end());
  const std::vector<std::string>& required = RequiredBootFiles();
  return std::includes(entries->begin(), entries->end(), required.begin(), required.end());
}

// The Apple boot partitions' media in the registry, in registry order.
mcom::iokit::ServiceQuery AppleBootPartitions() {
  mcom::cf::Ref<mcom::cf::MutableDictionary> matching = platform::IOServiceMatching("IOMedia");
  mcom::cf::Ref<mcom::cf::MutableDictionary> properties = mcom::cf::MutableDictionary::Create();
  properties->SetValue("Whole", mcom::cf::Boolean::False());
  properties->SetValue("Content", mcom::cf::String::Create(kAppleBootContent));
  matching->SetValue(platform::kIOPropertyMatchKey, properties);
  return mcom::iokit::ServiceQuery::Matching(matching);
}

}  // namespace

std::optional<RecoverySource> FindBootFiles(const da::Disk& disk) {
  const std::string name = disk.BSDName().value_or("(null)");
  mcom::log::Info("looking for boot files on %{public}s", name);
  std::optional<da::MountedVolume> volume =
      da::MountVolume(disk, da::kMountNotBrowsable);  // read-only: the writable bit is clear
  if (!volume) return std::nullopt;

  mcom::Result<std::vector<std::string>> entries = volume->directory().List();
  if (!entries) return std::nullopt;
  for (const std::string& entry : *entries) {
    if (!HoldsBootFiles(volume->directory(), entry)) continue;
    mcom::log::Default("did find boot files on %{public}s", name);
    return RecoverySource{std::move(*volume), entry};
  }
  return std::nullopt;
}

namespace {

// The disk-management framework's answer: the recovery disk of the system disk. Logged and
// empty when there is none.
std::optional<da::Disk> RecoveryDiskFromDiskManagement(const da::Session& session) {
  mcom::log::Info("will try to find the Recovery HD with DiskManagement");
  const std::optional<da::Disk> system = da::Disk::FromVolumePath(
      session, mcom::cf::URLFromPath(mcom::SystemPath("/"), /*is_directory=*/true));
  if (!system) {
    mcom::log::Error("failed to get the system disk with DiskArbitration");
    return std::nullopt;
  }
  platform::DMManager manager;
  manager.SetDefaultDASession(session.get());
  int error = 0;
  platform::DADiskRef recovery = manager.CopyRecoveryDiskForDisk(system->get(), &error);
  if (recovery == nullptr) {
    mcom::log::Error("failed to get recovery from DMManager: %{public}@",
                     platform::DMLocalizedUserErrorString(error));
    return std::nullopt;
  }
  da::Disk disk(recovery);
  mcom::log::Default("did get recovery from DMManager: %{public}s",
                     disk.BSDName().value_or("(null)"));
  return disk;
}

}  // namespace

std::optional<RecoverySource> FindRecoverySource() {
  // Answers arrive on a queue of the search's own, so this thread may wait for them.
  const da::Session session(dispatch::CreateQueue("com.halvex-software.RecoveryBuilder"));
  if (const std::optional<da::Disk> recovery = RecoveryDiskFromDiskManagement(session)) {
    if (std::optional<RecoverySource> source = FindBootFiles(*recovery)) return source;
  }
  // Macs whose recovery system is on a partition of its own (and any the framework does not
  // know) are found by the partition type.
  mcom::log::Default("find Recovery HD volume");
  mcom::iokit::ServiceQuery::Iterator candidates = AppleBootPartitions().Iterate();
  while (const std::optional<mcom::iokit::Service> media = candidates.Next()) {
    const std::optional<da::Disk> disk = da::Disk::FromIOMedia(session, *media);
    if (!disk) continue;
    if (std::optional<RecoverySource> source = FindBootFiles(*disk)) return source;
  }
  return std::nullopt;
}
