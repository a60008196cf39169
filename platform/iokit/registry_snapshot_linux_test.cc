#include "platform/iokit/registry_snapshot_linux.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/io_kit_lib.h"
#include "tests/support/registry_builder.h"

namespace {

using mcom::cf::Array;
using mcom::cf::Dictionary;
using mcom::cf::MutableDictionary;
using mcom::cf::Ref;
using platform::IOBSDNameMatching;
using platform::IOServiceMatching;
using platform::IOServiceNameMatching;
using platform::iokit_internal::RegistrySnapshot;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::RegistryBuilder;
using testing::RegistryEntry;

std::shared_ptr<const RegistrySnapshot> Parse(const RegistryBuilder& registry) {
  std::string problem;
  auto snapshot = RegistrySnapshot::FromPropertyList(registry.Build(), &problem);
  EXPECT_NE(snapshot, nullptr) << problem;
  return snapshot;
}

std::string ProblemOf(const Ref<mcom::cf::Object>& root) {
  std::string problem;
  EXPECT_EQ(RegistrySnapshot::FromPropertyList(root, &problem), nullptr);
  return problem;
}

std::string ProblemOf(const RegistryBuilder& registry) { return ProblemOf(registry.Build()); }

// The names of the entries at `indices`.
std::vector<std::string> Names(const RegistrySnapshot& snapshot,
                               const std::vector<uint32_t>& indices) {
  std::vector<std::string> names;
  for (const uint32_t index : indices) names.push_back(snapshot.entries()[index].name);
  return names;
}

std::vector<std::string> MatchNames(const RegistrySnapshot& snapshot, const Dictionary& matching) {
  std::vector<uint32_t> indices;
  EXPECT_EQ(snapshot.Match(matching, &indices), platform::kIOReturnSuccess);
  return Names(snapshot, indices);
}

Ref<Dictionary> Matching(
    std::initializer_list<std::pair<const char*, Ref<mcom::cf::Object>>> keys) {
  Ref<MutableDictionary> matching = MutableDictionary::Create();
  for (const auto& [key, value] : keys) matching->SetValue(key, value);
  return matching;
}

Ref<mcom::cf::String> S(const char* text) { return mcom::cf::String::Create(text); }

TEST(RegistrySnapshot, KeepsTheTreeInRegistryOrder) {
  RegistryBuilder registry;
  RegistryEntry& a = registry.Add(registry.root(), "IOService", "a");
  registry.Add(a, "IOService", "a1");
  registry.Add(a, "IOService", "a2");
  registry.Add(registry.root(), "IOService", "b");
  const auto snapshot = Parse(registry);
  ASSERT_NE(snapshot, nullptr);

  std::vector<std::string> order;
  for (const auto& entry : snapshot->entries()) order.push_back(entry.name);
  EXPECT_THAT(order, ElementsAre("Root", "a", "a1", "a2", "b"));
  EXPECT_THAT(Names(*snapshot, snapshot->entries()[1].children), ElementsAre("a1", "a2"));
  EXPECT_THAT(Names(*snapshot, snapshot->entries()[2].parents), ElementsAre("a"));
  EXPECT_THAT(snapshot->entries()[0].parents, IsEmpty());
  EXPECT_EQ(snapshot->entries()[1].id, a.id());
}

TEST(RegistrySnapshot, MergesTheAppearancesOfAnEntryWithSeveralParents) {
  // A Fusion container: one scheme under two physical stores. Each store's copy of the
  // scheme lists one child of its own; the merged entry has both, once each.
  RegistryBuilder registry;
  RegistryEntry& ssd = registry.Add(registry.root(), "IOMedia", "ssd");
  RegistryEntry& hdd = registry.Add(registry.root(), "IOMedia", "hdd");
  RegistryEntry& scheme = registry.Add(ssd, "AppleAPFSContainerScheme", "scheme");
  registry.Link(hdd, scheme);
  registry.Add(scheme, "AppleAPFSMedia", "container");
  const auto snapshot = Parse(registry);
  ASSERT_NE(snapshot, nullptr);

  ASSERT_EQ(snapshot->entries().size(), 5u);  // root, ssd, scheme, container, hdd
  const auto& merged = snapshot->entries()[2];
  EXPECT_EQ(merged.name, "scheme");
  EXPECT_THAT(Names(*snapshot, merged.parents), ElementsAre("ssd", "hdd"));
  EXPECT_THAT(Names(*snapshot, merged.children), ElementsAre("container"));
  EXPECT_THAT(Names(*snapshot, snapshot->entries()[4].children), ElementsAre("scheme"));
}

TEST(RegistrySnapshot, AcceptsTheArrayFormOfSeveralRoots) {
  RegistryBuilder first;
  RegistryBuilder second;
  const Ref<Array> roots = Array::Create({first.Build(), second.Build()});
  std::string problem;
  // Two builders start at the same id, so the second root is the first one again.
  const auto snapshot = RegistrySnapshot::FromPropertyList(roots, &problem);
  ASSERT_NE(snapshot, nullptr) << problem;
  EXPECT_EQ(snapshot->entries().size(), 1u);
}

TEST(RegistrySnapshot, RefusesFilesThatAreNoRegistry) {
  EXPECT_EQ(ProblemOf(S("Root")), "the top level is neither an entry nor an array of entries");
  EXPECT_EQ(ProblemOf(Array::Create({S("x")})),
            "an element of the top-level array is not an entry");
  std::string problem;
  EXPECT_EQ(RegistrySnapshot::FromBytes("<plist", 6, &problem), nullptr);
  EXPECT_EQ(problem, "not a property list");

  const auto id_of = [](const RegistryEntry& entry) {
    return mcom::cf::Number::CreateInteger(static_cast<int64_t>(entry.id()));
  };
  const std::vector<std::pair<std::function<void(RegistryBuilder&)>, std::string>> cases = {
      {[](RegistryBuilder& r) { r.Add(r.root(), "IOService", "x").Value("IOObjectClass", S("")); },
       "an entry has no IOObjectClass string"},
      {[](RegistryBuilder& r) {
         r.Add(r.root(), "IOMedia", "x").Value("IORegistryEntryID", S("12"));
       },
       "an entry of class IOMedia has no IORegistryEntryID"},
      {[](RegistryBuilder& r) {
         r.Add(r.root(), "IOMedia", "x").Value("IORegistryEntryChildren", S("none"));
       },
       "are no array"},
      {[](RegistryBuilder& r) {
         r.Add(r.root(), "IOMedia", "x")
             .Value("IORegistryEntryChildren", Array::Create({S("child")}));
       },
       "is not an entry"},
      {[&](RegistryBuilder& r) {
         RegistryEntry& a = r.Add(r.root(), "IOMedia", "a");
         r.Add(r.root(), "IOService", "b").Value("IORegistryEntryID", id_of(a));
       },
       "appears with two classes"},
      // An entry listed below itself would make every walk upwards endless.
      {[&](RegistryBuilder& r) {
         RegistryEntry& a = r.Add(r.root(), "IOService", "a");
         r.Add(r.Add(a, "IOService", "b"), "IOService", "a-again")
             .Value("IORegistryEntryID", id_of(a));
       },
       "is its own ancestor"},
  };
  for (const auto& [build, expected] : cases) {
    RegistryBuilder registry;
    build(registry);
    EXPECT_THAT(ProblemOf(registry), HasSubstr(expected));
  }
}

TEST(RegistrySnapshot, HidesTheBookkeepingKeysAndNamesTheClassAnEntryOverridesItWith) {
  RegistryBuilder registry;
  registry.Add(registry.root(), "IOMedia", "m")
      .String("BSD Name", "disk0")
      .String("IOClassNameOverride", "IOCustomMedia");
  const auto snapshot = Parse(registry);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_NE(snapshot->Property(1, "BSD Name"), nullptr);
  for (const char* key : {"IOObjectClass", "IORegistryEntryName", "IORegistryEntryID",
                          "IORegistryEntryChildren", "IORegistryEntryLocation"}) {
    EXPECT_EQ(snapshot->Property(1, key), nullptr) << key;
  }
  EXPECT_EQ(snapshot->Property(99, "BSD Name"), nullptr);

  EXPECT_EQ(snapshot->ClassName(1), "IOCustomMedia");
  EXPECT_EQ(snapshot->ClassName(0), "IORegistryEntry");
  // The kernel class still decides conformance.
  EXPECT_TRUE(snapshot->KernelClassConformsTo(1, "IOStorage"));
  EXPECT_FALSE(snapshot->KernelClassConformsTo(1, "IOCustomMedia"));
}

class RegistryMatching : public testing::Test {
 protected:
  void SetUp() override {
    registry_.AddMac({"System", "Recovery"});
    // A service that is no IOMedia but has the media keys.
    registry_.Add(registry_.root(), "IOUnknownThing", "odd")
        .Bool("Whole", true)
        .String("Content", "GUID_partition_scheme");
    snapshot_ = Parse(registry_);
    ASSERT_NE(snapshot_, nullptr);
  }

  std::vector<std::string> Match(const Dictionary& matching) {
    return MatchNames(*snapshot_, matching);
  }

  RegistryBuilder registry_;
  std::shared_ptr<const RegistrySnapshot> snapshot_;
};

TEST_F(RegistryMatching, MatchesAClassAndItsSubclasses) {
  EXPECT_THAT(
      Match(*IOServiceMatching("IOMedia")),
      ElementsAre("APPLE SSD Media", "EFI", "Store", "AppleAPFSMedia", "Macintosh HD", "Recovery"));
  EXPECT_THAT(Match(*IOServiceMatching("AppleAPFSVolume")),
              ElementsAre("Macintosh HD", "Recovery"));
  EXPECT_THAT(Match(*IOServiceMatching("IOPartitionScheme")),
              ElementsAre("GUID_partition_scheme", "AppleAPFSContainer"));
  // Classes the table does not know are services, and only services match: never the root.
  EXPECT_THAT(Match(*IOServiceMatching("IOUnknownThing")), ElementsAre("odd"));
  const std::vector<std::string> services = Match(*IOServiceMatching("IOService"));
  EXPECT_EQ(services.size(), snapshot_->entries().size() - 1);
  EXPECT_EQ(Match(*IOServiceMatching("IORegistryEntry")), services);
  EXPECT_THAT(services, testing::Not(testing::Contains("Root")));
  EXPECT_THAT(Match(*Matching({{"IOProviderClass", mcom::cf::Number::CreateInteger(1)}})),
              IsEmpty());
}

TEST_F(RegistryMatching, MatchesNamesAndBSDNames) {
  EXPECT_THAT(Match(*IOServiceNameMatching("Recovery")), ElementsAre("Recovery"));
  EXPECT_THAT(Match(*Matching({{"IONameMatch", Array::Create({S("EFI"), S("odd")})}})),
              ElementsAre("EFI", "odd"));
  EXPECT_THAT(Match(*IOBSDNameMatching(0, 0, "disk1s2")), ElementsAre("Recovery"));
  EXPECT_THAT(Match(*IOBSDNameMatching(0, 0, "disk9")), IsEmpty());
  // A BSD name is compared as a whole.
  EXPECT_THAT(Match(*IOBSDNameMatching(0, 0, "disk1s")), IsEmpty());
}

TEST_F(RegistryMatching, MatchesTheMediaKeysOnMediaOnly) {
  // The boot-partition search: partitions (Whole = false) of a given content.
  Ref<MutableDictionary> partitions = IOServiceMatching("IOMedia");
  partitions->SetValue("Whole", mcom::cf::Boolean::False());
  EXPECT_THAT(Match(*partitions), ElementsAre("EFI", "Store", "Macintosh HD", "Recovery"));
  partitions->SetValue("Content", S(RegistryBuilder::kEFIPartitionType));
  EXPECT_THAT(Match(*partitions), ElementsAre("EFI"));

  // Without a class, the media keys still filter media, but leave other services alone.
  EXPECT_THAT(Match(*Matching({{"Content", S("GUID_partition_scheme")}})),
              testing::Contains("odd"));
  EXPECT_THAT(Match(*Matching(
                  {{"Content", S("GUID_partition_scheme")}, {"IOProviderClass", S("IOMedia")}})),
              ElementsAre("APPLE SSD Media"));
  // A boolean is not the string "No".
  EXPECT_THAT(Match(*Matching({{"IOProviderClass", S("IOMedia")}, {"Whole", S("No")}})), IsEmpty());
}

TEST_F(RegistryMatching, MatchesPropertyTablesOnEveryService) {
  Ref<MutableDictionary> table = MutableDictionary::Create();
  table->SetValue("Whole", mcom::cf::Boolean::True());
  table->SetValue("Content", S("GUID_partition_scheme"));
  EXPECT_THAT(Match(*Matching({{"IOPropertyMatch", table}})),
              ElementsAre("APPLE SSD Media", "odd"));

  Ref<MutableDictionary> recovery = MutableDictionary::Create();
  recovery->SetValue("Role", Array::Create({S("Recovery")}));
  EXPECT_THAT(Match(*Matching({{"IOPropertyMatch", Array::Create({recovery, table})}})),
              ElementsAre("APPLE SSD Media", "Recovery", "odd"));

  EXPECT_THAT(Match(*Matching({{"IOPropertyExistsMatch", S("Role")}})),
              ElementsAre("Macintosh HD", "Recovery"));
  EXPECT_THAT(Match(*Matching({{"IOPropertyMatch", S("not a table")}})), IsEmpty());
}

TEST_F(RegistryMatching, MatchesAnEntryByItsID) {
  const uint64_t id = snapshot_->entries()[3].id;
  EXPECT_THAT(MatchNames(*snapshot_,
                         *Matching({{"IORegistryEntryID", mcom::cf::Number::CreateUnsigned(id)}})),
              ElementsAre(snapshot_->entries()[3].name));
}

TEST_F(RegistryMatching, IgnoresUnknownKeysAndRefusesUnsupportedOnes) {
  EXPECT_EQ(Match(*Matching({{"IOProviderClass", S("AppleAPFSVolume")},
                             {"IOMatchCategory", S("anything")}}))
                .size(),
            2u);
  std::vector<uint32_t> indices = {7};
  EXPECT_EQ(snapshot_->Match(*Matching({{"IOParentMatch", MutableDictionary::Create()}}), &indices),
            platform::kIOReturnUnsupported);
  EXPECT_THAT(indices, IsEmpty());
}

}  // namespace
