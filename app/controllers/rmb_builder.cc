#include "app/controllers/rmb_builder.h"

#include <algorithm>
#include <exception>

#include "app/controllers/bridge.h"
#include "app/controllers/result_texts.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/preferences.h"
#include "platform/disk_arbitration/da_disk.h"
#include "platform/disk_arbitration/disk_arbitration.h"

namespace app {

namespace {

namespace cf = mcom::cf;

std::optional<DiskName> NameOf(platform::DADiskRef disk) {
  const char* bsd_name = platform::DADiskGetBSDName(disk);
  return bsd_name ? ParseDiskName(bsd_name) : std::nullopt;
}

// What a disk's description says of it as a target; nothing for a disk the window does not
// offer (an attached disk image) or cannot name.
std::optional<RMBTargetMedia> MediaOf(platform::DADiskRef disk) {
  const std::optional<DiskName> name = NameOf(disk);
  const cf::Ref<cf::Dictionary> description = platform::DADiskCopyDescription(disk);
  if (!name || !description) return std::nullopt;
  if (description->GetString(platform::kDADiskDescriptionDeviceProtocolKey) ==
      "Virtual Interface") {
    return std::nullopt;
  }
  return RMBTargetMedia{
      .diskName = *name,
      .name = description->GetString(platform::kDADiskDescriptionMediaNameKey).value_or(""),
      .size = description->GetInteger(platform::kDADiskDescriptionMediaSizeKey).value_or(0),
      // No icon, as in the disk model: the screens use the platform's disk icon.
      .iconURL = std::nullopt,
  };
}

}  // namespace

std::string DisplayText(const RMBTargetMedia& media) {
  return media.name + " (" + FormatFileSize(media.size) + ")";
}

std::shared_ptr<Progress> RealRMBBuilder::build(const DiskName& target,
                                                Completion completion) const {
  auto progress = std::make_shared<Progress>(100);
  dispatch::Async(dispatch::GlobalQueue(), [target, completion = std::move(completion), progress] {
    std::optional<PlatformError> failure;
    try {
      bridge::BuildRecovery(bridge::ContainerNameOf(target), progress);
    } catch (const PlatformError& error) {
      failure = error;
    } catch (const std::exception& error) {
      // A failure of any kind reaches the window as one.
      failure = PlatformError(Error("BuildRecovery", error.what()));
    }
    completion(failure);
  });
  return progress;
}

std::unique_ptr<RMBMediaMonitor> RealRMBBuilder::mediaMonitor(MediaChanged changed) const {
  const cf::Ref<cf::Boolean> show_internal = cf::As<cf::Boolean>(
      mcom::preferences::CopyAppValue("RMBShowInternal", mcom::preferences::kCurrentApplication));
  return std::make_unique<DiskArbitrationRMBTargetMonitor>(
      std::move(changed), show_internal && show_internal->value(), dispatch::MainQueue());
}

DiskArbitrationRMBTargetMonitor::DiskArbitrationRMBTargetMonitor(RMBBuilder::MediaChanged changed,
                                                                 bool show_internal,
                                                                 const mcom::DispatchQueue& queue)
    : session_(queue), changed_(std::move(changed)) {
  const cf::Ref<cf::MutableDictionary> match = cf::MutableDictionary::Create();
  match->SetValue(platform::kDADiskDescriptionMediaWholeKey, cf::Boolean::True());
  match->SetValue(platform::kDADiskDescriptionMediaWritableKey, cf::Boolean::True());
  if (!show_internal) {
    match->SetValue(platform::kDADiskDescriptionDeviceInternalKey, cf::Boolean::False());
  }
  platform::DARegisterDiskAppearedCallback(session_.get(), match, &Appeared, this);
  platform::DARegisterDiskDisappearedCallback(session_.get(), nullptr, &Disappeared, this);
}

DiskArbitrationRMBTargetMonitor::~DiskArbitrationRMBTargetMonitor() {
  platform::DAUnregisterCallback(session_.get(), reinterpret_cast<void*>(&Appeared), this);
  platform::DAUnregisterCallback(session_.get(), reinterpret_cast<void*>(&Disappeared), this);
}

void DiskArbitrationRMBTargetMonitor::Appeared(platform::DADiskRef disk, void* context) {
  auto* monitor = static_cast<DiskArbitrationRMBTargetMonitor*>(context);
  const std::optional<RMBTargetMedia> media = MediaOf(disk);
  if (!media) return;
  const auto known = std::find_if(
      monitor->medias_.begin(), monitor->medias_.end(),
      [&media](const RMBTargetMedia& existing) { return existing.diskName == media->diskName; });
  if (known == monitor->medias_.end()) {
    monitor->medias_.push_back(*media);
    monitor->changed_(RMBTargetMediaChange{RMBTargetMediaChange::Insertion{*media}});
  } else if (*known != *media) {
    *known = *media;
    monitor->changed_(RMBTargetMediaChange{RMBTargetMediaChange::Update{*media}});
  }
}

void DiskArbitrationRMBTargetMonitor::Disappeared(platform::DADiskRef disk, void* context) {
  auto* monitor = static_cast<DiskArbitrationRMBTargetMonitor*>(context);
  const std::optional<DiskName> name = NameOf(disk);
  if (!name) return;
  const auto known =
      std::find_if(monitor->medias_.begin(), monitor->medias_.end(),
                   [&name](const RMBTargetMedia& existing) { return existing.diskName == *name; });
  if (known == monitor->medias_.end()) return;
  monitor->medias_.erase(known);
  monitor->changed_(RMBTargetMediaChange{RMBTargetMediaChange::Removal{*name}});
}

}  // namespace app
