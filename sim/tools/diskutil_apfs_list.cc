#include "sim/tools/diskutil_apfs_list.h"

#include <cstdio>
#include <string>
#include <vector>

#include "sim/tools/diskutil_disk_reference.h"
#include "sim/tools/diskutil_size.h"

namespace sim::tools::diskutil {
namespace {

// "500068036608 B (500.1 GB)", the form of the capacity lines.
std::string Bytes(uint64_t bytes) {
  return std::to_string(bytes) + " B (" + FormatSize(bytes) + ")";
}

std::string Percent(uint64_t part, uint64_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

std::string Padded(const std::string& label, size_t width) {
  std::string text = label;
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

std::string StoreUUID(const Model& model, const std::string& store) {
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(store);
  if (name) {
    if (const Partition* partition = FindPartition(model, *name)) return partition->uuid;
  }
  return "(No UUID)";
}

uint64_t StoreSize(const Model& model, const std::string& store) {
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(store);
  if (!name) return 0;
  if (const Partition* partition = FindPartition(model, *name)) return partition->size;
  if (const Disk* disk = FindDisk(model, name->disk); disk != nullptr && !name->has_slice()) {
    return disk->size;
  }
  return 0;
}

void WriteContainer(const Model& model, const Container& container, bool last, std::ostream& out) {
  // Lines below a container are drawn with "|" while further containers follow.
  const std::string indent = last ? "    " : "|   ";
  const std::string title =
      "Container " + mcom::FormatDiskName(container.name()) + " " + container.uuid;
  const std::vector<const Volume*> volumes = VolumesOfContainer(model, container.number);
  uint64_t used = 0;
  for (const Volume* volume : volumes) used += volume->used;
  const uint64_t free = used < container.size ? container.size - used : 0;

  out << "+-- " << title << '\n';
  out << indent << std::string(title.size(), '=') << '\n';
  out << indent << "APFS Container Reference:     " << mcom::FormatDiskName(container.name())
      << '\n';
  out << indent << "Size (Capacity Ceiling):      " << Bytes(container.size) << '\n';
  out << indent << "Capacity In Use By Volumes:   " << Bytes(used) << " ("
      << Percent(used, container.size) << " used)\n";
  out << indent << "Capacity Not Allocated:       " << Bytes(free) << " ("
      << Percent(free, container.size) << " free)\n";

  for (size_t i = 0; i < container.stores.size(); ++i) {
    const std::string& store = container.stores[i];
    const std::string heading = "Physical Store " + store + " " + StoreUUID(model, store);
    const std::string inner = "|   ";
    out << indent << "|\n";
    out << indent << "+-< " << heading << '\n';
    out << indent << inner << std::string(heading.size(), '-') << '\n';
    out << indent << inner << "APFS Physical Store Disk:   " << store << '\n';
    out << indent << inner << "Size:                       " << Bytes(StoreSize(model, store))
        << '\n';
  }
  if (volumes.empty()) {
    out << indent << "|\n" << indent << "No Volumes\n";
  }
  for (size_t i = 0; i < volumes.size(); ++i) {
    const Volume& volume = *volumes[i];
    const std::string heading = "Volume " + mcom::FormatDiskName(volume.disk) + " " + volume.uuid;
    const std::string inner = i + 1 == volumes.size() ? "    " : "|   ";
    const std::string role = volume.roles.empty() ? "No specific role" : volume.roles.front();
    const std::string mount_point = MountPointOf(model, volume);
    out << indent << "|\n";
    out << indent << "+-> " << heading << '\n';
    out << indent << inner << std::string(heading.size(), '-') << '\n';
    out << indent << inner << Padded("APFS Volume Disk (Role):", 27)
        << mcom::FormatDiskName(volume.disk) << " (" << role << ")\n";
    out << indent << inner << Padded("Name:", 27) << volume.name << " (Case-insensitive)\n";
    out << indent << inner << Padded("Mount Point:", 27)
        << (mount_point.empty() ? "Not Mounted" : mount_point) << '\n';
    out << indent << inner << Padded("Capacity Consumed:", 27) << Bytes(volume.used) << '\n';
    out << indent << inner << Padded("FileVault:", 27) << "No\n";
  }
}

}  // namespace

void WriteAPFSList(const Model& model, std::ostream& out) {
  if (model.containers.empty()) {
    out << "No APFS Containers found\n";
    return;
  }
  out << "APFS Containers (" << model.containers.size() << " found)\n";
  for (size_t i = 0; i < model.containers.size(); ++i) {
    const bool last = i + 1 == model.containers.size();
    out << "|\n";
    WriteContainer(model, model.containers[i], last, out);
    if (last) out << '\n';
  }
}

}  // namespace sim::tools::diskutil
