#include "sim/machine/io_class_table.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace sim {
namespace {

constexpr std::string_view kRootClass = "IORegistryEntry";
constexpr std::string_view kServiceClass = "IOService";

// Sorted by class name, for the binary search below.
constexpr std::pair<std::string_view, std::string_view> kSuperclasses[] = {
    {"AppleAPFSContainer", "IOPartitionScheme"},
    {"AppleAPFSContainerScheme", "IOStorage"},
    {"AppleAPFSMedia", "IOMedia"},
    {"AppleAPFSSnapshot", "IOMedia"},
    {"AppleAPFSVolume", "IOMedia"},
    {"IOAHCIBlockStorageDevice", "IOBlockStorageDevice"},
    {"IOApplePartitionScheme", "IOPartitionScheme"},
    {"IOBlockStorageDevice", "IOService"},
    {"IOBlockStorageDriver", "IOStorage"},
    {"IOBlockStorageServices", "IOBlockStorageDevice"},
    {"IOFDiskPartitionScheme", "IOPartitionScheme"},
    {"IOFilterScheme", "IOStorage"},
    {"IOGUIDPartitionScheme", "IOPartitionScheme"},
    {"IOHDIXHDDriveOutKernel", "IOBlockStorageDevice"},
    {"IOMedia", "IOStorage"},
    {"IOMediaBSDClient", "IOService"},
    {"IONVMeBlockStorageDevice", "IOBlockStorageDevice"},
    {"IOPartitionScheme", "IOStorage"},
    {"IOService", "IORegistryEntry"},
    {"IOStorage", "IOService"},
};

constexpr bool IsSorted() {
  for (size_t index = 1; index < std::size(kSuperclasses); ++index) {
    if (!(kSuperclasses[index - 1].first < kSuperclasses[index].first)) return false;
  }
  return true;
}
static_assert(IsSorted(), "the class table must stay sorted by class name");

// Every chain ends at the root: a superclass is the root, another class of the table, or
// IOService, which the table leads to the root. Walking more steps than the table has
// entries would mean a cycle.
constexpr bool EveryChainEndsAtTheRoot() {
  for (const auto& [name, superclass] : kSuperclasses) {
    std::string_view current = superclass;
    for (size_t steps = 0; current != kRootClass; ++steps) {
      if (steps > std::size(kSuperclasses)) return false;
      const auto* found = std::begin(kSuperclasses);
      while (found != std::end(kSuperclasses) && found->first != current) ++found;
      if (found == std::end(kSuperclasses)) return false;
      current = found->second;
    }
  }
  return true;
}
static_assert(EveryChainEndsAtTheRoot(), "every class of the table must lead up to the root");

}  // namespace

std::string_view SuperclassOf(std::string_view class_name) {
  if (class_name == kRootClass) return {};
  const auto* found =
      std::lower_bound(std::begin(kSuperclasses), std::end(kSuperclasses), class_name,
                       [](const auto& entry, std::string_view name) { return entry.first < name; });
  if (found != std::end(kSuperclasses) && found->first == class_name) return found->second;
  return kServiceClass;
}

bool ClassConformsTo(std::string_view class_name, std::string_view ancestor) {
  // The chain ends at IORegistryEntry, whose superclass is empty; every step of the table
  // leads closer to it, so the walk is short and always ends.
  for (std::string_view current = class_name; !current.empty(); current = SuperclassOf(current)) {
    if (current == ancestor) return true;
  }
  return false;
}

}  // namespace sim
