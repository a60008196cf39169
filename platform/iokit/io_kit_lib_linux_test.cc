#include "platform/iokit/io_kit_lib.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/file_path.h"
#include "core/foundation/system_path.h"
#include "platform/posix/scoped_generic.h"
#include "tests/support/registry_test.h"

namespace {

using mcom::cf::Ref;
using platform::IO_OBJECT_NULL;
using platform::io_object_t;
using platform::IOReturn;
using platform::kIOMainPortDefault;
using platform::kIOServicePlane;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::RegistryBuilder;

struct ObjectTraits {
  static io_object_t InvalidValue() { return IO_OBJECT_NULL; }
  static void Free(io_object_t object) { platform::IOObjectRelease(object); }
};
using Object = mcom::ScopedGeneric<io_object_t, ObjectTraits>;

std::string NameOf(io_object_t entry) {
  platform::io_name_t name = {};
  EXPECT_EQ(platform::IORegistryEntryGetName(entry, name), platform::kIOReturnSuccess);
  return name;
}

std::string ClassOf(io_object_t object) {
  platform::io_name_t name = {};
  EXPECT_EQ(platform::IOObjectGetClass(object, name), platform::kIOReturnSuccess);
  return name;
}

// Takes every object out of `iterator`, in order, by name.
std::vector<std::string> Drain(io_object_t iterator) {
  std::vector<std::string> names;
  while (true) {
    Object next(platform::IOIteratorNext(iterator));
    if (!next) return names;
    names.push_back(NameOf(next.get()));
  }
}

Object Matching(Ref<mcom::cf::Dictionary> matching, IOReturn expected = 0) {
  io_object_t iterator = IO_OBJECT_NULL;
  EXPECT_EQ(
      platform::IOServiceGetMatchingServices(kIOMainPortDefault, std::move(matching), &iterator),
      expected);
  return Object(iterator);
}

Object Service(const char* bsd_name) {
  return Object(platform::IOServiceGetMatchingService(
      kIOMainPortDefault, platform::IOBSDNameMatching(kIOMainPortDefault, 0, bsd_name)));
}

Object Children(io_object_t entry) {
  io_object_t iterator = IO_OBJECT_NULL;
  EXPECT_EQ(platform::IORegistryEntryGetChildIterator(entry, kIOServicePlane, &iterator), 0);
  return Object(iterator);
}

Object Parents(io_object_t entry) {
  io_object_t iterator = IO_OBJECT_NULL;
  EXPECT_EQ(platform::IORegistryEntryGetParentIterator(entry, kIOServicePlane, &iterator), 0);
  return Object(iterator);
}

class IOKitRegistry : public testing::RegistryTest {
 protected:
  // The Mac with container disk1 of two volumes (disk1s1 System, disk1s2 Data).
  void WriteMac() {
    registry_.AddMac({"System", "Data"});
    Write();
  }
};

TEST_F(IOKitRegistry, WithoutAMachineMatchingFindsNothingAndABrokenRegistryFails) {
  Object all = Matching(platform::IOServiceMatching("IOService"));
  ASSERT_TRUE(all);
  EXPECT_THAT(Drain(all.get()), IsEmpty());
  EXPECT_FALSE(Service("disk0"));

  WriteRegistryFile("<plist><dict><key>x</key>");
  EXPECT_FALSE(Matching(platform::IOServiceMatching("IOMedia"), platform::kIOReturnError));
  EXPECT_FALSE(Service("disk0"));
  EXPECT_FALSE(Matching(platform::IOServiceMatching(nullptr), platform::kIOReturnBadArgument));
}

TEST_F(IOKitRegistry, RefusesBadArguments) {
  EXPECT_EQ(platform::IOServiceMatching(nullptr), nullptr);
  EXPECT_EQ(platform::IOBSDNameMatching(0, 0, nullptr), nullptr);
  EXPECT_EQ(platform::IOServiceNameMatching("\xff"), nullptr);
  EXPECT_FALSE(Matching(nullptr, platform::kIOReturnBadArgument));
  EXPECT_EQ(
      platform::IOServiceGetMatchingServices(0, platform::IOServiceMatching("IOMedia"), nullptr),
      platform::kIOReturnBadArgument);
  EXPECT_EQ(platform::IOObjectRelease(IO_OBJECT_NULL), platform::kIOReturnBadArgument);
  EXPECT_EQ(platform::IOObjectRetain(IO_OBJECT_NULL), platform::kIOReturnBadArgument);
  EXPECT_EQ(platform::IOIteratorNext(IO_OBJECT_NULL), IO_OBJECT_NULL);
  EXPECT_FALSE(platform::IOObjectConformsTo(IO_OBJECT_NULL, "IOService"));
  platform::io_name_t name;
  EXPECT_EQ(platform::IOObjectGetClass(IO_OBJECT_NULL, name), platform::kIOReturnBadArgument);
}

TEST_F(IOKitRegistry, WalksChildrenAndParentsInTheServicePlane) {
  WriteMac();

  Object disk1 = Service("disk1");
  ASSERT_TRUE(disk1);
  EXPECT_EQ(ClassOf(disk1.get()), "AppleAPFSMedia");
  Object container_iterator = Children(disk1.get());
  Object container(platform::IOIteratorNext(container_iterator.get()));
  ASSERT_TRUE(container);
  EXPECT_EQ(ClassOf(container.get()), "AppleAPFSContainer");
  Object volumes = Children(container.get());
  EXPECT_THAT(Drain(volumes.get()), ElementsAre("Macintosh HD", "Macintosh HD - Data"));
  // An exhausted iterator stays exhausted until it is reset.
  EXPECT_EQ(platform::IOIteratorNext(volumes.get()), IO_OBJECT_NULL);
  platform::IOIteratorReset(volumes.get());
  EXPECT_THAT(Drain(volumes.get()), ElementsAre("Macintosh HD", "Macintosh HD - Data"));
  EXPECT_TRUE(platform::IOIteratorIsValid(volumes.get()));
  EXPECT_FALSE(platform::IOIteratorIsValid(container.get()));

  Object volume = Service("disk1s2");
  Object up = Parents(volume.get());
  Object parent(platform::IOIteratorNext(up.get()));
  EXPECT_TRUE(platform::IOObjectIsEqualTo(parent.get(), container.get()));
  EXPECT_FALSE(platform::IOObjectIsEqualTo(parent.get(), disk1.get()));

  io_object_t iterator = IO_OBJECT_NULL;
  EXPECT_EQ(platform::IORegistryEntryGetChildIterator(disk1.get(), "IODeviceTree", &iterator),
            platform::kIOReturnBadArgument);
  EXPECT_EQ(iterator, IO_OBJECT_NULL);
  EXPECT_EQ(platform::IORegistryEntryGetChildIterator(volumes.get(), kIOServicePlane, &iterator),
            platform::kIOReturnBadArgument);
  EXPECT_EQ(platform::IORegistryEntryGetParentIterator(disk1.get(), nullptr, &iterator),
            platform::kIOReturnBadArgument);
}

TEST_F(IOKitRegistry, NamesClassesAndConformance) {
  registry_.AddMac({"System", "Data"});
  std::string long_name(200, 'n');
  registry_.Add(registry_.root(), "IOService", long_name);
  registry_.Add(registry_.root(), "IOMedia", "custom")
      .String("IOClassNameOverride", "IOCustomMedia")
      .String("BSD Name", "disk7");
  Write();

  Object volume = Service("disk1s1");
  EXPECT_EQ(ClassOf(volume.get()), "AppleAPFSVolume");
  EXPECT_TRUE(platform::IOObjectConformsTo(volume.get(), "AppleAPFSVolume"));
  EXPECT_TRUE(platform::IOObjectConformsTo(volume.get(), "IOMedia"));
  EXPECT_TRUE(platform::IOObjectConformsTo(volume.get(), "IOService"));
  EXPECT_FALSE(platform::IOObjectConformsTo(volume.get(), "AppleAPFSMedia"));

  Object custom = Service("disk7");
  EXPECT_EQ(ClassOf(custom.get()), "IOCustomMedia");
  EXPECT_TRUE(platform::IOObjectConformsTo(custom.get(), "IOCustomMedia"));
  EXPECT_TRUE(platform::IOObjectConformsTo(custom.get(), "IOMedia"));

  Object named = Matching(platform::IOServiceNameMatching(long_name.c_str()));
  Object entry(platform::IOIteratorNext(named.get()));
  ASSERT_TRUE(entry);
  EXPECT_EQ(NameOf(entry.get()), std::string(127, 'n'));
  EXPECT_EQ(ClassOf(named.get()), "IOUserIterator");
  EXPECT_TRUE(platform::IOObjectConformsTo(named.get(), "IOUserIterator"));
  EXPECT_FALSE(platform::IOObjectConformsTo(named.get(), "IOService"));

  uint64_t id = 0;
  EXPECT_EQ(platform::IORegistryEntryGetRegistryEntryID(custom.get(), &id), 0);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(platform::IORegistryEntryGetRegistryEntryID(named.get(), &id),
            platform::kIOReturnBadArgument);
}

TEST_F(IOKitRegistry, CountsReferencesLikeIOKit) {
  WriteMac();
  // Two references: released twice (the sanitizer build finds a leak or a double free).
  io_object_t service = platform::IOServiceGetMatchingService(
      kIOMainPortDefault, platform::IOBSDNameMatching(kIOMainPortDefault, 0, "disk0"));
  ASSERT_NE(service, IO_OBJECT_NULL);
  EXPECT_EQ(platform::IOObjectRetain(service), 0);
  EXPECT_EQ(platform::IOObjectRelease(service), 0);
  EXPECT_EQ(NameOf(service), "APPLE SSD Media");
  EXPECT_EQ(platform::IOObjectRelease(service), 0);
}

TEST_F(IOKitRegistry, ReadsPropertiesAsCFObjects) {
  WriteMac();
  Object volume = Service("disk1s1");
  const Ref<mcom::cf::Array> roles = mcom::cf::As<mcom::cf::Array>(
      platform::IORegistryEntryCreateCFProperty(volume.get(), "Role", 0));
  ASSERT_TRUE(roles);
  EXPECT_EQ(mcom::cf::ToStdString(roles->Get<mcom::cf::String>(0)), "System");
  EXPECT_EQ(platform::IORegistryEntryCreateCFProperty(volume.get(), "Missing", 0), nullptr);
  EXPECT_EQ(platform::IORegistryEntryCreateCFProperty(volume.get(), "IORegistryEntryID", 0),
            nullptr);
  EXPECT_EQ(platform::IORegistryEntryCreateCFProperty(IO_OBJECT_NULL, "Role", 0), nullptr);
}

TEST_F(IOKitRegistry, ReadsSmallPropertiesIntoABuffer) {
  registry_.Add(registry_.root(), "IOMedia", "m")
      .String("BSD Name", "disk3s1")
      .Bool("Whole", false)
      .Integer("Size", 0x0102030405060708)
      .Value("Bytes", mcom::cf::Data::Create(std::string_view("\x01\x00\x02", 3)))
      .Strings("Role", {"Data"})
      .Value("Ratio", mcom::cf::Number::CreateReal(0.5));
  Write();
  Object media = Service("disk3s1");
  ASSERT_TRUE(media);
  // The bytes a read of `key` into a buffer of `capacity` gives, or its status.
  char buffer[128];
  uint32_t size = 0;
  const auto get = [&](const char* key, uint32_t capacity = 128) -> std::string {
    std::memset(buffer, '#', sizeof buffer);
    size = capacity;
    const IOReturn status = platform::IORegistryEntryGetProperty(media.get(), key, buffer, &size);
    return status != 0 ? std::string("status ").append(std::to_string(status))
                       : std::string(buffer, size);
  };
  const auto status = [](IOReturn value) {
    return std::string("status ").append(std::to_string(value));
  };

  EXPECT_EQ(get("BSD Name"), std::string("disk3s1\0", 8));
  EXPECT_EQ(get("Whole"), std::string("No\0", 3));
  const uint64_t number = 0x0102030405060708;
  EXPECT_EQ(get("Size"), std::string(reinterpret_cast<const char*>(&number), 8));
  EXPECT_EQ(get("Bytes"), std::string("\x01\x00\x02", 3));
  EXPECT_EQ(get("Role"), status(platform::kIOReturnBadArgument));
  EXPECT_EQ(get("Ratio"), status(platform::kIOReturnBadArgument));
  EXPECT_EQ(get("Missing"), status(platform::kIOReturnNotFound));
  // "disk3s1" and its zero need 8 bytes: 7 is too few, and the buffer stays untouched.
  EXPECT_EQ(get("BSD Name", 7), status(platform::kIOReturnNoSpace));
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::string(buffer, 8), "########");
  EXPECT_EQ(platform::IORegistryEntryGetProperty(media.get(), "BSD Name", buffer, nullptr),
            platform::kIOReturnBadArgument);
}

TEST_F(IOKitRegistry, AnswersFromTheRegistryOfItsMatchingCall) {
  WriteMac();
  Object disk1 = Service("disk1");
  ASSERT_TRUE(disk1);

  // The machine erases the container: the volumes are gone from the file.
  {
    RegistryBuilder registry;
    registry.AddMac({});
    ASSERT_TRUE(registry.WriteToMachine());
  }

  // What was found before still walks the registry it came from...
  Object containers = Children(disk1.get());
  Object container(platform::IOIteratorNext(containers.get()));
  Object volumes = Children(container.get());
  EXPECT_THAT(Drain(volumes.get()), ElementsAre("Macintosh HD", "Macintosh HD - Data"));
  // ...and a new matching call sees the machine as it is now.
  EXPECT_FALSE(Service("disk1s1"));
  Object again = Service("disk1");
  Object new_containers = Children(again.get());
  Object new_container(platform::IOIteratorNext(new_containers.get()));
  Object new_volumes = Children(new_container.get());
  EXPECT_THAT(Drain(new_volumes.get()), IsEmpty());
}

// The real `ioreg` excerpt, converted to the `ioreg -a` form (tests/data/registry/README.md).
class RealRegistryDump : public testing::Test {
 protected:
  void SetUp() override {
    const std::string dump = testing::TemporaryFolder::ReadFile(
        mcom::FilePath(DORVANE_SOURCE_DIR "/tests/data/registry/ioreg-a-apfs-fragment-1.plist"));
    ASSERT_FALSE(dump.empty());
    root_.WriteFile("private/var/db/macsim/registry.plist", dump);
  }

  testing::TemporaryMachineRoot root_;
};

TEST_F(RealRegistryDump, AnswersQueries) {
  Object store = Service("disk0s2");
  ASSERT_TRUE(store);
  uint64_t id = 0;
  EXPECT_EQ(platform::IORegistryEntryGetRegistryEntryID(store.get(), &id), 0);
  EXPECT_EQ(id, 0x10000028bu);
  EXPECT_EQ(NameOf(store.get()), "Mac SSD");
  const auto size = mcom::cf::As<mcom::cf::Number>(
      platform::IORegistryEntryCreateCFProperty(store.get(), "Size", 0));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->Int64Value(), 999995129856);

  Object recovery = Service("disk1s3");
  ASSERT_TRUE(recovery);
  EXPECT_TRUE(platform::IOObjectConformsTo(recovery.get(), "IOMedia"));
  char buffer[128];
  uint32_t length = sizeof buffer;
  ASSERT_EQ(platform::IORegistryEntryGetProperty(recovery.get(), "FormattedBy", buffer, &length),
            0);
  EXPECT_STREQ(buffer, "newfs_apfs (748.21.6)");

  // Partitions of the boot-partition search's kind: IOMedia that is not whole.
  Ref<mcom::cf::MutableDictionary> partitions = platform::IOServiceMatching("IOMedia");
  partitions->SetValue("Whole", mcom::cf::Boolean::False());
  Object found = Matching(partitions);
  EXPECT_THAT(Drain(found.get()),
              ElementsAre("EFI System Partition", "Mac SSD", "Preboot", "Recovery"));

  // The BSD clients are services of classes the table does not know.
  Object clients = Matching(platform::IOServiceMatching("AppleAPFSVolumeBSDClient"));
  EXPECT_THAT(Drain(clients.get()), ElementsAre("AppleAPFSVolumeBSDClient"));
}

}  // namespace
