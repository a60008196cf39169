#include "core/discovery/service_query.h"

#include <gmock/gmock.h>

#include <string>
#include <system_error>
#include <vector>

#include "core/discovery/property_query.h"
#include "core/discovery/service_property.h"
#include "core/foundation/error_category.h"
#include "platform/iokit/io_return.h"
#include "tests/support/error_matchers.h"
#include "tests/support/registry_test.h"

namespace {

using mcom::DiskName;
using mcom::iokit::AllValues;
using mcom::iokit::FirstValue;
using mcom::iokit::PropertyQuery;
using mcom::iokit::Service;
using mcom::iokit::ServiceQuery;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::RegistryBuilder;
using testing::RegistryEntry;

std::string NameOf(const Service& service) {
  platform::io_name_t name = {};
  platform::IORegistryEntryGetName(service.get(), name);
  return name;
}

std::optional<std::string> Name(const Service& service) { return NameOf(service); }

std::vector<std::string> Names(const ServiceQuery& query) {
  return AllValues(PropertyQuery<std::string>(query, Name));
}

class ServiceQueryTest : public testing::RegistryTest {
 protected:
  // The Mac: disk0 (EFI s1, store s2) and container disk1 with five volumes.
  // Written at once; tests that add entries write again.
  void SetUp() override {
    container_ = registry_.AddMac({"System", "Preboot", "Recovery", "VM", "Data"}).disk1;
    Write();
  }

  RegistryBuilder::Container container_;
};

TEST_F(ServiceQueryTest, StartsFromABSDNameOrAClass) {
  EXPECT_THAT(Names(ServiceQuery(DiskName{0, 2})), ElementsAre("Store"));
  EXPECT_THAT(Names(ServiceQuery(DiskName{1})), ElementsAre("AppleAPFSMedia"));
  // Class matching includes subclasses: the volumes and the container disk are IOMedia.
  EXPECT_THAT(Names(ServiceQuery("IOMedia")),
              ElementsAre("APPLE SSD Media", "EFI", "Store", "AppleAPFSMedia", "Macintosh HD",
                          "Preboot", "Recovery", "VM", "Macintosh HD - Data"));
}

TEST_F(ServiceQueryTest, WalksChildrenAndParentsDepthFirst) {
  EXPECT_THAT(Names(ServiceQuery(DiskName{1}).Children().Children()),
              ElementsAre("Macintosh HD", "Preboot", "Recovery", "VM", "Macintosh HD - Data"));
  EXPECT_THAT(Names(ServiceQuery(DiskName{1, 3}).Parents().Parents()),
              ElementsAre("AppleAPFSMedia"));
  // All children of the first service before any child of the second.
  EXPECT_THAT(Names(ServiceQuery("IOPartitionScheme").Children()),
              ElementsAre("EFI", "Store", "Macintosh HD", "Preboot", "Recovery", "VM",
                          "Macintosh HD - Data"));
}

TEST_F(ServiceQueryTest, FollowsEveryParentOfAFusionContainer) {
  RegistryBuilder::Disk disk2 = registry_.AddWholeDisk(2);
  RegistryEntry& hdd_store =
      registry_.AddPartition(disk2, 2, RegistryBuilder::kAPFSPartitionType, "HDD Store");
  registry_.Link(hdd_store, *container_.scheme);
  Write();
  EXPECT_THAT(Names(ServiceQuery(DiskName{1}).Parents().Parents()),
              ElementsAre("Store", "HDD Store"));
  EXPECT_THAT(Names(ServiceQuery(DiskName{2, 2}).ChildNamed("AppleAPFSContainerScheme").Children()),
              ElementsAre("AppleAPFSMedia"));
}

TEST_F(ServiceQueryTest, ChildNamedAcceptsTheExactClassOnly) {
  // A container disk presenting a more specific class of its own (its kernel class is still
  // AppleAPFSMedia, so it conforms to AppleAPFSMedia and IOMedia).
  RegistryEntry& other_store = registry_.AddPartition(
      registry_.AddWholeDisk(3), 1, RegistryBuilder::kAPFSPartitionType, "Other Store");
  RegistryBuilder::Container special = registry_.AddContainer(other_store, 4);
  special.media->String("IOClassNameOverride", "AppleAPFSMediaSpecial");
  Write();

  const ServiceQuery schemes("AppleAPFSContainerScheme");
  const auto disks = [](const ServiceQuery& query) {
    return AllValues(PropertyQuery<DiskName>(query, mcom::iokit::BSDName));
  };
  EXPECT_THAT(disks(schemes.Children()), ElementsAre(DiskName{1}, DiskName{4}));
  EXPECT_THAT(disks(schemes.ChildNamed("AppleAPFSMedia")), ElementsAre(DiskName{1}));
  EXPECT_THAT(disks(schemes.ChildNamed("AppleAPFSMediaSpecial")), ElementsAre(DiskName{4}));
  // Superclasses do not count either.
  EXPECT_THAT(Names(schemes.ChildNamed("IOMedia")), IsEmpty());
  EXPECT_THAT(Names(ServiceQuery(DiskName{1}).ChildNamed("IOPartitionScheme")), IsEmpty());
}

TEST_F(ServiceQueryTest, AppliesTwoFiltersInOrderAndTheSecondOnlyAfterTheFirst) {
  std::vector<std::string> calls;
  const ServiceQuery query = ServiceQuery("AppleAPFSVolume")
                                 .Filter([&](const Service& service) {
                                   calls.push_back("first " + NameOf(service));
                                   return NameOf(service) != "Preboot";
                                 })
                                 .Filter([&](const Service& service) {
                                   calls.push_back("second " + NameOf(service));
                                   return NameOf(service) != "VM";
                                 });
  EXPECT_THAT(Names(query), ElementsAre("Macintosh HD", "Recovery", "Macintosh HD - Data"));
  EXPECT_THAT(calls, ElementsAre("first Macintosh HD", "second Macintosh HD", "first Preboot",
                                 "first Recovery", "second Recovery", "first VM", "second VM",
                                 "first Macintosh HD - Data", "second Macintosh HD - Data"));
}

TEST_F(ServiceQueryTest, FiltersApplyToTheirOwnLevel) {
  int container_level = 0;
  int volume_level = 0;
  const ServiceQuery query = ServiceQuery(DiskName{1})
                                 .Children()
                                 .Filter([&](const Service&) { return ++container_level > 0; })
                                 .Children()
                                 .Filter([&](const Service&) {
                                   ++volume_level;
                                   return false;
                                 });
  EXPECT_THAT(Names(query), IsEmpty());
  EXPECT_EQ(container_level, 1);
  EXPECT_EQ(volume_level, 5);
}

TEST_F(ServiceQueryTest, EmptyGeneratorsYieldNothingAndAMappingThatNeverAnswersVisitsAll) {
  int visits = 0;
  const PropertyQuery<int> query(ServiceQuery("AppleAPFSVolume"),
                                 [&](const Service&) -> std::optional<int> {
                                   ++visits;
                                   return std::nullopt;
                                 });
  const auto next = query.ForEach();
  EXPECT_EQ(next(), std::nullopt);
  EXPECT_EQ(visits, 5);
  EXPECT_EQ(next(), std::nullopt);
  EXPECT_EQ(visits, 5);

  // A BSD name that matches nothing yields nothing either.
  const PropertyQuery<std::string> none(ServiceQuery(DiskName{9, 1}).Children(), Name);
  const auto next_none = none.ForEach();
  EXPECT_EQ(next_none(), std::nullopt);
  EXPECT_EQ(next_none(), std::nullopt);
  EXPECT_EQ(FirstValue(none), std::nullopt);
}

TEST_F(ServiceQueryTest, StopsAtTheFirstHit) {
  int volumes_seen = 0;
  int containers_seen = 0;
  const ServiceQuery query = ServiceQuery("AppleAPFSContainer")
                                 .Filter([&](const Service&) {
                                   ++containers_seen;
                                   return true;
                                 })
                                 .Children()
                                 .Filter([&](const Service&) {
                                   ++volumes_seen;
                                   return true;
                                 });
  const PropertyQuery<std::string> second_volume(query, [](const Service& service) {
    return NameOf(service) == "Preboot" ? std::optional<std::string>("found") : std::nullopt;
  });
  EXPECT_EQ(FirstValue(second_volume), "found");
  EXPECT_EQ(volumes_seen, 2);
  EXPECT_EQ(containers_seen, 1);

  // The generator goes on from where it stopped, one service at a time.
  volumes_seen = 0;
  const auto next = PropertyQuery<std::string>(query, Name).ForEach();
  EXPECT_EQ(next(), "Macintosh HD");
  EXPECT_EQ(next(), "Preboot");
  EXPECT_EQ(volumes_seen, 2);
}

TEST_F(ServiceQueryTest, TouchesTheRegistryOnlyWhenEvaluated) {
  // Built and even turned into a generator while the machine has no usable registry.
  WriteRegistryFile("<plist><array>");
  const PropertyQuery<std::string> query(ServiceQuery(DiskName{1}).Children(), Name);
  const auto next = query.ForEach();
  Write();
  EXPECT_EQ(next(), "AppleAPFSContainer");
}

TEST_F(ServiceQueryTest, CopiesEvaluateIndependently) {
  const ServiceQuery volumes = ServiceQuery(DiskName{1}).Children().Children();
  const ServiceQuery copy = volumes;
  ServiceQuery::Iterator first = volumes.Iterate();
  ServiceQuery::Iterator second = copy.Iterate();
  EXPECT_EQ(NameOf(*first.Next()), "Macintosh HD");
  EXPECT_EQ(NameOf(*first.Next()), "Preboot");
  EXPECT_EQ(NameOf(*second.Next()), "Macintosh HD");
  ServiceQuery::Iterator moved = std::move(first);
  EXPECT_EQ(NameOf(*moved.Next()), "Recovery");
}

TEST_F(ServiceQueryTest, ThrowsWhenTheRegistryCannotBeAsked) {
  WriteRegistryFile("<plist><array>");
  ServiceQuery::Iterator cursor = ServiceQuery(DiskName{1}).Children().Iterate();
  EXPECT_THAT([&] { cursor.Next(); }, testing::ThrowsSystemError(std::error_code(
                                          platform::kIOReturnError, mcom::iokit::category())));
  // The cursor is finished; it does not ask again.
  EXPECT_EQ(cursor.Next(), std::nullopt);

  Write();
  const auto matching = platform::IOServiceMatching("IOMedia");
  matching->SetValue("IOParentMatch", mcom::cf::MutableDictionary::Create());
  EXPECT_THROW(Names(ServiceQuery::Matching(matching)), std::system_error);
}

}  // namespace
