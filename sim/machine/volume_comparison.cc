#include "sim/machine/volume_comparison.h"

#include <algorithm>
#include <optional>

#include "sim/machine/machine_error.h"
#include "sim/machine/state_lock.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

enum class DiskRole { kVolume, kContainer };

// Whether `name` is a volume or a container of the model; throws for anything else.
DiskRole RoleOf(const Model& model, mcom::DiskName name) {
  if (FindVolume(model, name) != nullptr) return DiskRole::kVolume;
  if (!name.has_slice() && FindContainer(model, name.disk) != nullptr) return DiskRole::kContainer;
  const bool known = name.has_slice() ? FindPartition(model, name) != nullptr
                                      : FindDisk(model, name.disk) != nullptr;
  if (!known) throw MachineError("no such disk: " + mcom::FormatDiskName(name));
  // A physical disk or partition holding a container is a likely slip for the container.
  std::string hint;
  for (const Container& container : model.containers) {
    for (const std::string& store : container.stores) {
      const std::optional<mcom::DiskName> store_name = mcom::ParseDiskName(store);
      if (store_name && (name.has_slice() ? *store_name == name : store_name->disk == name.disk)) {
        hint = " (it holds the APFS container " + mcom::FormatDiskName(container.name()) + ")";
      }
    }
  }
  throw MachineError(mcom::FormatDiskName(name) + " is neither a volume nor an APFS container" +
                     hint);
}

std::vector<std::string> SortedRoles(const Volume& volume) {
  std::vector<std::string> roles = volume.roles;
  std::sort(roles.begin(), roles.end());
  return roles;
}

ComparedVolume Describe(const Volume& volume) { return ComparedVolume{volume.disk, volume.name}; }

// Pairs the volumes of two containers (see CompareDisks); an absent partner is null.
std::vector<std::pair<const Volume*, const Volume*>> PairVolumes(
    const std::vector<const Volume*>& originals, const std::vector<const Volume*>& copies) {
  std::vector<const Volume*> partners(originals.size(), nullptr);
  std::vector<bool> taken(copies.size(), false);
  const auto pair_when = [&](const auto& matches) {
    for (size_t o = 0; o < originals.size(); ++o) {
      for (size_t c = 0; c < copies.size() && partners[o] == nullptr; ++c) {
        if (!taken[c] && matches(*originals[o], *copies[c])) {
          partners[o] = copies[c];
          taken[c] = true;
        }
      }
    }
  };
  pair_when([](const Volume& original, const Volume& copy) {
    return SortedRoles(original) == SortedRoles(copy) && original.name == copy.name;
  });
  pair_when([](const Volume& original, const Volume& copy) {
    return !original.roles.empty() && SortedRoles(original) == SortedRoles(copy);
  });
  std::vector<std::pair<const Volume*, const Volume*>> pairs;
  for (size_t o = 0; o < originals.size(); ++o) pairs.emplace_back(originals[o], partners[o]);
  for (size_t c = 0; c < copies.size(); ++c) {
    if (!taken[c]) pairs.emplace_back(nullptr, copies[c]);
  }
  return pairs;
}

}  // namespace

std::string ComparedVolume::Describe() const {
  return mcom::FormatDiskName(disk) + " (" + name + ")";
}

std::vector<VolumeComparison> CompareDisks(const Machine& machine, mcom::DiskName original,
                                           mcom::DiskName copy,
                                           const TreeComparisonOptions& options) {
  const mcom::FilePath& root = machine.root();
  const StateLock lock(root, StateLock::Mode::kShared);
  const Model model = ReadModelFile(root);
  const DiskRole original_role = RoleOf(model, original);
  const DiskRole copy_role = RoleOf(model, copy);
  if (original_role != copy_role) {
    const auto what = [](DiskRole role) {
      return role == DiskRole::kVolume ? "a volume" : "an APFS container";
    };
    throw MachineError(mcom::FormatDiskName(original) + " is " + what(original_role) + " but " +
                       mcom::FormatDiskName(copy) + " is " + what(copy_role) +
                       ": compare two volumes or two containers");
  }

  std::vector<std::pair<const Volume*, const Volume*>> pairs;
  if (original_role == DiskRole::kVolume) {
    pairs.emplace_back(FindVolume(model, original), FindVolume(model, copy));
  } else {
    pairs =
        PairVolumes(VolumesOfContainer(model, original.disk), VolumesOfContainer(model, copy.disk));
  }

  std::vector<VolumeComparison> comparisons;
  for (const auto& [left, right] : pairs) {
    VolumeComparison comparison;
    if (left != nullptr) comparison.original = Describe(*left);
    if (right != nullptr) comparison.copy = Describe(*right);
    if (left != nullptr && right != nullptr) {
      comparison.files =
          CompareTrees(VolumeFilesPath(root, *left), VolumeFilesPath(root, *right), options);
    }
    comparisons.push_back(std::move(comparison));
  }
  return comparisons;
}

}  // namespace sim
