#include "app/cli/disk_listing.h"

#include <variant>

#include "app/cli/json_text.h"
#include "app/controllers/result_texts.h"

namespace {

std::string Sizes(int64_t size, int64_t used) {
  return app::FormatFileSize(size) + ", " + app::FormatFileSize(used) + " used";
}

std::string ContainerText(const app::APFSContainerInfo& container) {
  std::string text = "  " + app::FormatDiskName(container.name.diskName) + "  " +
                     app::TargetDescription(container) + " (" +
                     (container.isInternal ? "internal" : "external");
  for (const std::string& secondary : container.secondaryPhysicalDiskNames) {
    text += "; also on " + secondary;
  }
  text += ")\n      " + Sizes(container.size, container.spaceUsed) + "; volumes:";
  if (container.volumes.empty()) text += " none";
  for (size_t index = 0; index < container.volumes.size(); ++index) {
    const app::VolumeInfo& volume = container.volumes[index];
    text += (index == 0 ? " " : ", ") + volume.name + " (" +
            app::FormatFileSize(volume.spaceConsumed) + ")";
  }
  return text + "\n";
}

std::string PartitionText(const app::PartitionInfo& partition) {
  std::string text = "  " + app::FormatDiskName(partition.device) + "  " +
                     app::TargetDescription(partition) + "\n      ";
  if (partition.volumeInfo) {
    return text + Sizes(partition.size, partition.volumeInfo->spaceUsed) + "\n";
  }
  return text + app::FormatFileSize(partition.size) + ", no mounted volume\n";
}

std::string ContainerJson(const app::APFSContainerInfo& container, const char* kind) {
  std::vector<std::string> secondary;
  secondary.reserve(container.secondaryPhysicalDiskNames.size());
  for (const std::string& name : container.secondaryPhysicalDiskNames) {
    secondary.push_back(JsonString(name));
  }
  std::vector<std::string> volumes;
  volumes.reserve(container.volumes.size());
  for (const app::VolumeInfo& volume : container.volumes) {
    volumes.push_back(JsonText()
                          .Add("name", volume.name)
                          .AddInteger("used", volume.spaceConsumed)
                          .Add("uuid", volume.uuid)
                          .str());
  }
  JsonText json;
  if (kind != nullptr) json.Add("kind", kind);
  return json.Add("disk", app::FormatDiskName(container.name.diskName))
      .Add("description", app::TargetDescription(container))
      .Add("physical_disk", container.physicalDiskName)
      .AddRaw("secondary_physical_disks", JsonArray(secondary))
      .Add("internal", container.isInternal)
      .AddInteger("size", container.size)
      .AddInteger("used", container.spaceUsed)
      .AddRaw("volumes", JsonArray(volumes))
      .str();
}

std::string PartitionJson(const app::PartitionInfo& partition) {
  JsonText json;
  json.Add("kind", "partition")
      .Add("disk", app::FormatDiskName(partition.device))
      .Add("description", app::TargetDescription(partition))
      .Add("physical_disk", partition.physicalDiskName)
      .AddInteger("size", partition.size);
  if (partition.volumeInfo) {
    json.AddRaw("volume", JsonText()
                              .Add("name", partition.volumeInfo->name)
                              .AddInteger("used", partition.volumeInfo->spaceUsed)
                              .str());
  } else {
    json.AddRaw("volume", "null");
  }
  return json.str();
}

}  // namespace

std::string DiskListingText(const std::vector<app::APFSContainerInfo>& sources,
                            const std::vector<app::RestoreTargetInfo>& targets) {
  std::string text = "Backup sources:\n";
  if (sources.empty()) text += "  none\n";
  for (const app::APFSContainerInfo& source : sources) text += ContainerText(source);
  text += "Restore targets:\n";
  if (targets.empty()) text += "  none\n";
  for (const app::RestoreTargetInfo& target : targets) {
    if (const auto* container = std::get_if<app::APFSContainerInfo>(&target.target)) {
      text += ContainerText(*container);
    } else {
      text += PartitionText(std::get<app::PartitionInfo>(target.target));
    }
  }
  return text;
}

std::string DiskListingJson(const std::vector<app::APFSContainerInfo>& sources,
                            const std::vector<app::RestoreTargetInfo>& targets) {
  std::vector<std::string> source_objects;
  source_objects.reserve(sources.size());
  for (const app::APFSContainerInfo& source : sources) {
    source_objects.push_back(ContainerJson(source, nullptr));
  }
  std::vector<std::string> target_objects;
  target_objects.reserve(targets.size());
  for (const app::RestoreTargetInfo& target : targets) {
    if (const auto* container = std::get_if<app::APFSContainerInfo>(&target.target)) {
      target_objects.push_back(ContainerJson(*container, "apfs_container"));
    } else {
      target_objects.push_back(PartitionJson(std::get<app::PartitionInfo>(target.target)));
    }
  }
  return JsonText()
      .Add("type", "disks")
      .AddRaw("sources", JsonArray(source_objects))
      .AddRaw("targets", JsonArray(target_objects))
      .str();
}
