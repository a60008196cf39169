#ifndef __linux__
#error "This file implements the registry stand-in for Linux only."
#endif

#include "platform/iokit/registry_snapshot_linux.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <utility>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "platform/iokit/io_kit_lib.h"
#include "sim/machine/io_class_table.h"

namespace platform::iokit_internal {
namespace {

using mcom::cf::Array;
using mcom::cf::As;
using mcom::cf::Dictionary;
using mcom::cf::Number;
using mcom::cf::Object;
using mcom::cf::Ref;
using mcom::cf::String;

constexpr std::string_view kClassKey = "IOObjectClass";
constexpr std::string_view kNameKey = "IORegistryEntryName";
constexpr std::string_view kIDKey = "IORegistryEntryID";
constexpr std::string_view kChildrenKey = "IORegistryEntryChildren";

// Keys `ioreg -a` adds to describe an entry rather than to show its properties; a reader of
// properties never sees them.
constexpr std::array<std::string_view, 9> kBookkeepingKeys = {
    kClassKey,
    "IOObjectRetainCount",
    kIDKey,
    "IORegistryEntryLocation",
    kNameKey,
    kChildrenKey,
    "IOServiceBusyState",
    "IOServiceBusyTime",
    "IOServiceState",
};

bool IsBookkeepingKey(std::string_view key) {
  return std::find(kBookkeepingKeys.begin(), kBookkeepingKeys.end(), key) != kBookkeepingKeys.end();
}

// The keys IOMedia compares itself when they appear in a matching dictionary.
constexpr std::array<std::string_view, 9> kMediaMatchingKeys = {
    "Content",   "Content Hint", "Ejectable", "Leaf",     "Preferred Block Size",
    "Removable", "Size",         "Whole",     "Writable",
};

// Matching keys of IOKit that this registry does not implement.
constexpr std::array<std::string_view, 3> kUnsupportedMatchingKeys = {
    "IOPathMatch", "IOParentMatch", "IOLocationMatch"};

template <size_t N>
bool Contains(const std::array<std::string_view, N>& keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

const std::vector<uint32_t>& NoIndices() {
  static const std::vector<uint32_t> none;
  return none;
}

void AppendOnce(std::vector<uint32_t>& list, uint32_t value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

}  // namespace

// Builds a snapshot from the tree, merging appearances of one id into one entry.
class RegistrySnapshot::Builder {
 public:
  explicit Builder(RegistrySnapshot& snapshot) : snapshot_(snapshot) {}

  bool AddRoots(const Ref<Object>& root) {
    if (const Ref<Dictionary> entry = As<Dictionary>(root)) return Visit(entry, std::nullopt);
    if (const Ref<Array> roots = As<Array>(root)) {
      for (const Ref<Object>& value : *roots) {
        const Ref<Dictionary> entry = As<Dictionary>(value);
        if (!entry) return Fail("an element of the top-level array is not an entry");
        if (!Visit(entry, std::nullopt)) return false;
      }
      return true;
    }
    return Fail("the top level is neither an entry nor an array of entries");
  }

  const std::string& problem() const { return problem_; }

 private:
  bool Fail(std::string problem) {
    problem_ = std::move(problem);
    return false;
  }

  // Adds `entry` (an appearance of a registry entry) under `parent`, then its children.
  bool Visit(const Ref<Dictionary>& entry, std::optional<uint32_t> parent) {
    const std::optional<std::string> class_name = entry->GetString(kClassKey);
    if (!class_name || class_name->empty()) {
      return Fail("an entry has no IOObjectClass string");
    }
    const Ref<Number> id_number = entry->Get<Number>(kIDKey);
    const std::optional<uint64_t> id = id_number ? id_number->UInt64Value() : std::nullopt;
    if (!id) return Fail("an entry of class " + *class_name + " has no IORegistryEntryID");

    uint32_t index = 0;
    const auto known = ids_.find(*id);
    if (known != ids_.end()) {
      index = known->second;
      if (snapshot_.entries_[index].class_name != *class_name) {
        return Fail("entry " + std::to_string(*id) + " appears with two classes");
      }
    } else {
      if (snapshot_.entries_.size() >= std::numeric_limits<uint32_t>::max()) {
        return Fail("too many entries");
      }
      index = static_cast<uint32_t>(snapshot_.entries_.size());
      ids_.emplace(*id, index);
      RegistryEntry& added = snapshot_.entries_.emplace_back();
      added.id = *id;
      added.class_name = *class_name;
      added.name = entry->GetString(kNameKey).value_or(*class_name);
      // The dictionary is the file's own immutable value: shared, not copied.
      added.dictionary = entry;
      added.class_chain = &ChainOf(*class_name);
      if (const std::optional<std::string> bsd_name = entry->GetString(kIOBSDNameKey)) {
        snapshot_.by_bsd_name_[*bsd_name].push_back(index);
      }
    }
    if (std::find(path_.begin(), path_.end(), index) != path_.end()) {
      return Fail("entry " + std::to_string(*id) + " is its own ancestor");
    }
    if (parent) {
      AppendOnce(snapshot_.entries_[*parent].children, index);
      AppendOnce(snapshot_.entries_[index].parents, *parent);
    }

    const Ref<Object> children_value = entry->GetValue(kChildrenKey);
    if (!children_value) return true;
    const Ref<Array> children = As<Array>(children_value);
    if (!children) return Fail("the children of entry " + std::to_string(*id) + " are no array");
    path_.push_back(index);
    for (const Ref<Object>& value : *children) {
      const Ref<Dictionary> child = As<Dictionary>(value);
      if (!child) return Fail("a child of entry " + std::to_string(*id) + " is not an entry");
      if (!Visit(child, index)) return false;
    }
    path_.pop_back();
    return true;
  }

  const std::vector<std::string_view>& ChainOf(const std::string& class_name) {
    auto [position, added] = snapshot_.class_chains_.try_emplace(class_name);
    if (added) {
      // The first element views the map's own key, which never moves.
      for (std::string_view current = position->first; !current.empty();
           current = sim::SuperclassOf(current)) {
        position->second.push_back(current);
      }
    }
    return position->second;
  }

  RegistrySnapshot& snapshot_;
  std::unordered_map<uint64_t, uint32_t> ids_;
  std::vector<uint32_t> path_;
  std::string problem_;
};

std::shared_ptr<const RegistrySnapshot> RegistrySnapshot::Empty() {
  static const std::shared_ptr<const RegistrySnapshot> empty =
      std::make_shared<const RegistrySnapshot>();
  return empty;
}

std::shared_ptr<const RegistrySnapshot> RegistrySnapshot::FromPropertyList(const Ref<Object>& root,
                                                                           std::string* problem) {
  auto snapshot = std::make_shared<RegistrySnapshot>();
  Builder builder(*snapshot);
  if (!builder.AddRoots(root)) {
    if (problem != nullptr) *problem = builder.problem();
    return nullptr;
  }
  return snapshot;
}

std::shared_ptr<const RegistrySnapshot> RegistrySnapshot::FromBytes(const void* bytes,
                                                                    size_t length,
                                                                    std::string* problem) {
  const Ref<Object> root = mcom::cf::PropertyListFromBytes(bytes, length);
  if (!root) {
    if (problem != nullptr) *problem = "not a property list";
    return nullptr;
  }
  return FromPropertyList(root, problem);
}

Ref<Object> RegistrySnapshot::Property(uint32_t index, std::string_view key) const {
  if (index >= entries_.size() || IsBookkeepingKey(key)) return nullptr;
  return entries_[index].dictionary->GetValue(key);
}

std::string_view RegistrySnapshot::ClassName(uint32_t index) const {
  const Ref<String> override_name = As<String>(Property(index, kIOClassNameOverrideKey));
  if (override_name) return override_name->utf8();
  return entries_[index].class_name;
}

bool RegistrySnapshot::KernelClassConformsTo(uint32_t index, std::string_view ancestor) const {
  const std::vector<std::string_view>& chain = *entries_[index].class_chain;
  return std::find(chain.begin(), chain.end(), ancestor) != chain.end();
}

const std::vector<uint32_t>& RegistrySnapshot::EntriesWithBSDName(std::string_view bsd_name) const {
  const auto found = by_bsd_name_.find(std::string(bsd_name));
  return found != by_bsd_name_.end() ? found->second : NoIndices();
}

namespace {

// "IONameMatch": a name or an array of names.
bool NameMatches(const std::string& name, const Ref<Object>& wanted) {
  if (const Ref<String> single = As<String>(wanted)) return single->utf8() == name;
  if (const Ref<Array> names = As<Array>(wanted)) {
    return std::any_of(names->begin(), names->end(), [&](const Ref<Object>& value) {
      const Ref<String> one = As<String>(value);
      return one && one->utf8() == name;
    });
  }
  return false;
}

}  // namespace

bool RegistrySnapshot::Matches(uint32_t index, const Dictionary& matching) const {
  if (index >= entries_.size() || !KernelClassConformsTo(index, "IOService")) return false;
  const RegistryEntry& entry = entries_[index];

  const auto properties_equal = [&](const Ref<Object>& wanted) {
    const Ref<Dictionary> table = As<Dictionary>(wanted);
    if (!table) return false;
    return std::all_of(table->begin(), table->end(), [&](const auto& key_value) {
      return mcom::cf::Equal(Property(index, key_value.first), key_value.second);
    });
  };
  const auto property_exists = [&](const Ref<Object>& key) {
    const Ref<String> name = As<String>(key);
    return name && Property(index, name->utf8()) != nullptr;
  };
  // A single value, or an array of which one element must hold.
  const auto one_of = [](const Ref<Object>& wanted, const auto& test) {
    if (const Ref<Array> alternatives = As<Array>(wanted)) {
      return std::any_of(alternatives->begin(), alternatives->end(), test);
    }
    return test(wanted);
  };

  for (const auto& [key, value] : matching) {
    bool holds = true;
    if (key == kIOProviderClassKey) {
      const Ref<String> class_name = As<String>(value);
      holds = class_name && KernelClassConformsTo(index, class_name->utf8());
    } else if (key == kIONameMatchKey) {
      holds = NameMatches(entry.name, value);
    } else if (key == kIOBSDNameKey) {
      holds = mcom::cf::Equal(Property(index, kIOBSDNameKey), value);
    } else if (key == kIOPropertyMatchKey) {
      holds = one_of(value, properties_equal);
    } else if (key == kIOPropertyExistsMatchKey) {
      holds = one_of(value, property_exists);
    } else if (key == kIORegistryEntryIDKey) {
      const Ref<Number> id = As<Number>(value);
      holds = id && id->UInt64Value() == entry.id;
    } else if (Contains(kMediaMatchingKeys, key) && KernelClassConformsTo(index, "IOMedia")) {
      holds = mcom::cf::Equal(Property(index, key), value);
    }
    if (!holds) return false;
  }
  return true;
}

IOReturn RegistrySnapshot::Match(const Dictionary& matching, std::vector<uint32_t>* indices) const {
  indices->clear();
  for (const auto& key_value : matching) {
    if (Contains(kUnsupportedMatchingKeys, key_value.first)) return kIOReturnUnsupported;
  }
  // A BSD name selects a handful of entries at most: look only at those.
  if (const Ref<String> bsd_name = matching.Get<String>(kIOBSDNameKey)) {
    for (const uint32_t index : EntriesWithBSDName(bsd_name->utf8())) {
      if (Matches(index, matching)) indices->push_back(index);
    }
    return kIOReturnSuccess;
  }
  for (uint32_t index = 0; index < entries_.size(); ++index) {
    if (Matches(index, matching)) indices->push_back(index);
  }
  return kIOReturnSuccess;
}

}  // namespace platform::iokit_internal
