#include "tests/support/registry_builder.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/file.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"

namespace testing {
namespace {

using mcom::cf::Array;
using mcom::cf::Object;
using mcom::cf::Ref;

// A UUID-shaped text that is unique per entry and the same in every run.
std::string UUIDFor(uint64_t id) {
  char text[40];
  std::snprintf(text, sizeof text, "5EED0000-0000-4000-8000-%012" PRIX64, id & 0xFFFFFFFFFFFFu);
  return text;
}

}  // namespace

RegistryEntry::RegistryEntry(std::string class_name, std::string name, uint64_t id)
    : class_name_(std::move(class_name)),
      name_(std::move(name)),
      id_(id),
      properties_(mcom::cf::MutableDictionary::Create()) {}

RegistryEntry& RegistryEntry::Value(std::string_view key, Ref<Object> value) {
  properties_->SetValue(key, std::move(value));
  return *this;
}

RegistryEntry& RegistryEntry::String(std::string_view key, std::string_view value) {
  return Value(key, mcom::cf::String::Create(value));
}

RegistryEntry& RegistryEntry::Bool(std::string_view key, bool value) {
  return Value(key, mcom::cf::Boolean::Get(value));
}

RegistryEntry& RegistryEntry::Integer(std::string_view key, int64_t value) {
  return Value(key, mcom::cf::Number::CreateInteger(value));
}

RegistryEntry& RegistryEntry::Strings(std::string_view key,
                                      const std::vector<std::string>& values) {
  Array::Values strings;
  for (const std::string& value : values) strings.push_back(mcom::cf::String::Create(value));
  return Value(key, Array::Create(std::move(strings)));
}

RegistryEntry& RegistryEntry::Remove(std::string_view key) {
  properties_->RemoveValue(key);
  return *this;
}

RegistryBuilder::RegistryBuilder() : next_id_(0x100000100) {
  entries_.push_back(std::make_unique<RegistryEntry>("IORegistryEntry", "Root", next_id_++));
}

RegistryEntry& RegistryBuilder::Add(RegistryEntry& parent, std::string class_name,
                                    std::string name) {
  entries_.push_back(
      std::make_unique<RegistryEntry>(std::move(class_name), std::move(name), next_id_++));
  parent.children_.push_back(entries_.back().get());
  return *entries_.back();
}

void RegistryBuilder::Link(RegistryEntry& parent, RegistryEntry& child) {
  parent.children_.push_back(&child);
}

Ref<mcom::cf::Dictionary> RegistryBuilder::BuildEntry(const RegistryEntry& entry) const {
  Ref<mcom::cf::MutableDictionary> dictionary = entry.properties_->MutableCopy();
  // Bookkeeping a test set itself wins over the builder's own.
  if (!dictionary->Contains("IOObjectClass")) {
    dictionary->SetValue("IOObjectClass", mcom::cf::String::Create(entry.class_name_));
  }
  if (!dictionary->Contains("IORegistryEntryName")) {
    dictionary->SetValue("IORegistryEntryName", mcom::cf::String::Create(entry.name_));
  }
  if (!dictionary->Contains("IORegistryEntryID")) {
    dictionary->SetValue("IORegistryEntryID", mcom::cf::Number::CreateUnsigned(entry.id_));
  }
  if (!entry.children_.empty() && !dictionary->Contains("IORegistryEntryChildren")) {
    Array::Values children;
    for (const RegistryEntry* child : entry.children_) children.push_back(BuildEntry(*child));
    dictionary->SetValue("IORegistryEntryChildren", Array::Create(std::move(children)));
  }
  return dictionary->Copy();
}

Ref<mcom::cf::Dictionary> RegistryBuilder::Build() const { return BuildEntry(*entries_.front()); }

std::string RegistryBuilder::ToXML() const {
  const Ref<mcom::cf::Data> data =
      mcom::cf::PropertyListToData(Build(), mcom::cf::PropertyListFormat::kXML);
  return data ? std::string(data->AsStringView()) : std::string();
}

bool RegistryBuilder::WriteTo(const mcom::FilePath& path) const {
  const auto fail = [&](const char* what) {
    std::fprintf(stderr, "RegistryBuilder: cannot write %s: %s\n", path.c_str(), what);
    return false;
  };
  const std::string xml = ToXML();
  if (xml.empty()) return fail("not a property list");
  if (mcom::MakePath(path.Parent())) return fail("no folder");
  const mcom::FilePath temporary(path.string() + ".new");
  mcom::Result<mcom::File> file =
      mcom::Open(temporary, mcom::kOpenWrite | mcom::kOpenCreate | mcom::OpenMode(0644));
  if (!file) return fail("cannot create the temporary file");
  // A longer file left by an earlier write would keep its tail otherwise.
  if (ftruncate(file->get(), 0) != 0 || file->WriteAll(xml.data(), xml.size()) || file->Close()) {
    return fail("cannot write the temporary file");
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return fail("cannot rename");
  return true;
}

bool RegistryBuilder::WriteToMachine() const {
  return WriteTo(mcom::SystemPath("/private/var/db/macsim/registry.plist"));
}

RegistryBuilder::Disk RegistryBuilder::AddWholeDisk(uint32_t number, const char* location,
                                                    bool partitioned, uint64_t size) {
  Disk disk;
  disk.number = number;
  const std::string bsd_name = "disk" + std::to_string(number);
  const bool internal = std::string_view(location) == "Internal";

  RegistryEntry& device = Add(root(), "IOBlockStorageDevice", "IOBlockStorageDevice");
  Ref<mcom::cf::MutableDictionary> protocol = mcom::cf::MutableDictionary::Create();
  protocol->SetValue("Physical Interconnect",
                     mcom::cf::String::Create(internal ? "PCI-Express" : "USB"));
  protocol->SetValue("Physical Interconnect Location", mcom::cf::String::Create(location));
  device.Value("Protocol Characteristics", protocol->Copy());
  disk.device = &device;

  RegistryEntry& driver = Add(device, "IOBlockStorageDriver", "IOBlockStorageDriver");
  RegistryEntry& media = Add(driver, "IOMedia", internal ? "APPLE SSD Media" : "USB Disk Media");
  media.String("BSD Name", bsd_name)
      .Integer("BSD Unit", number)
      .Bool("Whole", true)
      .Bool("Leaf", !partitioned)
      .String("Content", partitioned ? "GUID_partition_scheme" : "")
      .Integer("Size", static_cast<int64_t>(size))
      .Integer("Preferred Block Size", 512)
      .Bool("Writable", true)
      .Bool("Removable", !internal)
      .Bool("Ejectable", !internal)
      .String("UUID", UUIDFor(media.id()));
  disk.media = &media;
  if (partitioned) disk.scheme = &Add(media, "IOGUIDPartitionScheme", "GUID_partition_scheme");
  return disk;
}

RegistryEntry& RegistryBuilder::AddPartition(const Disk& disk, uint32_t slice, const char* type,
                                             std::string name, uint64_t size) {
  RegistryEntry& partition = Add(*disk.scheme, "IOMedia", std::move(name));
  partition.String("BSD Name", "disk" + std::to_string(disk.number) + "s" + std::to_string(slice))
      .Integer("BSD Unit", disk.number)
      .Bool("Whole", false)
      .Bool("Leaf", true)
      .String("Content", type)
      .String("Content Hint", type)
      .Integer("Partition ID", slice)
      .Integer("Size", static_cast<int64_t>(size))
      .Integer("GPT Attributes", 0)
      .Bool("Writable", true)
      .String("UUID", UUIDFor(partition.id()));
  return partition;
}

RegistryBuilder::Container RegistryBuilder::AddContainer(RegistryEntry& store, uint32_t number,
                                                         uint64_t size, uint64_t free) {
  Container container;
  container.number = number;
  container.scheme = &Add(store, "AppleAPFSContainerScheme", "AppleAPFSContainerScheme");
  container.media = &Add(*container.scheme, "AppleAPFSMedia", "AppleAPFSMedia");
  container.media->String("BSD Name", "disk" + std::to_string(number))
      .Integer("BSD Unit", number)
      .Bool("Whole", true)
      .Bool("Leaf", false)
      .String("Content", kAPFSContainerContent)
      .Integer("Size", static_cast<int64_t>(size))
      .Bool("Writable", true)
      .String("UUID", UUIDFor(container.media->id()));
  container.container = &Add(*container.media, "AppleAPFSContainer", "AppleAPFSContainer");
  container.container->Integer("Size", static_cast<int64_t>(size))
      .Integer("ContainerFree", static_cast<int64_t>(free))
      .String("UUID", UUIDFor(container.container->id()));
  return container;
}

RegistryEntry& RegistryBuilder::AddVolume(const Container& container, uint32_t slice,
                                          std::string name, const std::vector<std::string>& roles,
                                          const char* group) {
  RegistryEntry& volume = Add(*container.container, "AppleAPFSVolume", std::move(name));
  volume.String("BSD Name", "disk" + std::to_string(container.number) + "s" + std::to_string(slice))
      .Integer("BSD Unit", container.number)
      .Bool("Whole", false)
      .Bool("Leaf", true)
      .String("Content", kAPFSVolumeContent)
      .String("UUID", UUIDFor(volume.id()))
      .String("VolGroupUUID", group)
      .String("Status", "Online")
      .Integer("Size", 499963174912)
      .Bool("Writable", true)
      .String("FormattedBy", "newfs_apfs (1412.141.1)");
  if (!roles.empty()) volume.Strings("Role", roles);
  return volume;
}

RegistryBuilder::Mac RegistryBuilder::AddMac(const std::vector<std::string>& roles) {
  Mac mac;
  mac.disk0 = AddWholeDisk(0);
  mac.efi = &AddPartition(mac.disk0, 1, kEFIPartitionType, "EFI");
  mac.store = &AddPartition(mac.disk0, 2, kAPFSPartitionType, "Store");
  mac.disk1 = AddContainer(*mac.store, 1);
  uint32_t slice = 0;
  for (const std::string& role : roles) {
    const bool system = role == "System";
    const bool grouped = system || role == "Data";
    AddVolume(mac.disk1, ++slice,
              system           ? "Macintosh HD"
              : role == "Data" ? "Macintosh HD - Data"
                               : role,
              {role}, grouped ? kSystemGroup : kNoGroup);
  }
  return mac;
}

}  // namespace testing
