// Fuzz target for reading a registry file, the machine's registry being external input to
// the platform layer. For any input: reading must not crash, hang or leak; and a registry
// that was read must hold together:
//   - every child link has its parent link and the other way round, all indices in range;
//   - no entry is its own ancestor;
//   - every service matches its own id, its own class, its own BSD name and a table of its
//     own properties; the root entry of class IORegistryEntry matches nothing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/io_kit_lib.h"
#include "platform/iokit/registry_snapshot_linux.h"

namespace {

using mcom::cf::MutableDictionary;
using mcom::cf::Ref;
using platform::iokit_internal::RegistryEntry;
using platform::iokit_internal::RegistrySnapshot;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "registry_fuzzer: %s\n", what);
  std::abort();
}

bool Contains(const std::vector<uint32_t>& list, uint32_t value) {
  for (const uint32_t element : list) {
    if (element == value) return true;
  }
  return false;
}

void CheckLinks(const RegistrySnapshot& registry) {
  const auto& entries = registry.entries();
  for (uint32_t index = 0; index < entries.size(); ++index) {
    for (const uint32_t child : entries[index].children) {
      if (child >= entries.size()) Fail("a child index is out of range");
      if (!Contains(entries[child].parents, index)) Fail("a child does not know its parent");
    }
    for (const uint32_t parent : entries[index].parents) {
      if (parent >= entries.size()) Fail("a parent index is out of range");
      if (!Contains(entries[parent].children, index)) Fail("a parent does not know its child");
    }
  }
}

// Walks up from every entry; meeting the start again is a cycle.
void CheckNoCycles(const RegistrySnapshot& registry) {
  const auto& entries = registry.entries();
  for (uint32_t start = 0; start < entries.size(); ++start) {
    std::vector<bool> seen(entries.size(), false);
    std::vector<uint32_t> pending = entries[start].parents;
    while (!pending.empty()) {
      const uint32_t current = pending.back();
      pending.pop_back();
      if (current == start) Fail("an entry is its own ancestor");
      if (seen[current]) continue;
      seen[current] = true;
      for (const uint32_t parent : entries[current].parents) pending.push_back(parent);
    }
  }
}

bool Selects(const RegistrySnapshot& registry, const mcom::cf::Dictionary& matching,
             uint32_t index) {
  std::vector<uint32_t> indices;
  if (registry.Match(matching, &indices) != platform::kIOReturnSuccess) {
    Fail("a supported matching dictionary was refused");
  }
  return Contains(indices, index) && registry.Matches(index, matching);
}

void CheckMatching(const RegistrySnapshot& registry) {
  const auto& entries = registry.entries();
  for (uint32_t index = 0; index < entries.size(); ++index) {
    const RegistryEntry& entry = entries[index];
    const bool service = registry.KernelClassConformsTo(index, "IOService");

    Ref<MutableDictionary> by_id = MutableDictionary::Create();
    by_id->SetValue(platform::kIORegistryEntryIDKey, mcom::cf::Number::CreateUnsigned(entry.id));
    if (Selects(registry, *by_id, index) != service) Fail("an entry and its id disagree");

    if (service) {
      if (!Selects(registry, *platform::IOServiceMatching(entry.class_name.c_str()), index)) {
        Fail("a service does not match its own class");
      }
      Ref<MutableDictionary> own = MutableDictionary::Create();
      for (const auto& [key, value] : *entry.dictionary) {
        if (const Ref<mcom::cf::Object> property = registry.Property(index, key)) {
          own->SetValue(key, property);
        }
      }
      Ref<MutableDictionary> by_properties = MutableDictionary::Create();
      by_properties->SetValue(platform::kIOPropertyMatchKey, own);
      if (!Selects(registry, *by_properties, index)) {
        Fail("a service does not match its own properties");
      }
      if (const auto bsd_name =
              mcom::cf::As<mcom::cf::String>(registry.Property(index, platform::kIOBSDNameKey))) {
        Ref<MutableDictionary> by_name = MutableDictionary::Create();
        by_name->SetValue(platform::kIOBSDNameKey, bsd_name);
        if (!Selects(registry, *by_name, index)) Fail("a service does not match its BSD name");
      }
    }
    if (registry.ClassName(index).empty()) {
      // An override may be empty; the kernel class never is.
      if (entry.class_name.empty()) Fail("an entry without a class was accepted");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  const auto registry = RegistrySnapshot::FromBytes(data, size, &problem);
  if (!registry) {
    if (problem.empty()) Fail("a refused registry has no reason");
    return 0;
  }
  CheckLinks(*registry);
  CheckNoCycles(*registry);
  CheckMatching(*registry);
  return 0;
}
