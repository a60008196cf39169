#include "core/foundation/cf_dictionary.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"

namespace mcom::cf {
namespace {

using ::testing::ElementsAre;
using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

// Whether a typed view of kind T can be asked for at all.
template <typename T>
constexpr bool kCanView = requires(Ref<Object> object) {
  As<T>(object);
};

Ref<Dictionary> Disk() {
  return Dictionary::Create(
      {"DeviceIdentifier", "Size", "Internal", "Partitions", "Info", "Ratio", "Huge"},
      {String::Create("disk0"), Number::CreateInteger(500277790720), Boolean::True(),
       Array::Create({String::Create("disk0s1")}),
       Dictionary::Create({"Bus"}, {String::Create("PCI")}), Number::CreateReal(0.25),
       Number::CreateUnsigned(UINT64_MAX)});
}

TEST(CFDictionaryTest, ReadersAnswerTheValueOfTheRightType) {
  const Ref<Dictionary> disk = Disk();
  EXPECT_THAT(disk->GetString("DeviceIdentifier"), Optional(std::string("disk0")));
  EXPECT_THAT(disk->GetInteger("Size"), Optional(500277790720));
  EXPECT_THAT(disk->GetBool("Internal"), Optional(true));
  EXPECT_THAT(disk->GetDouble("Ratio"), Optional(0.25));
  EXPECT_THAT(disk->GetUnsigned("Huge"), Optional(UINT64_MAX));
  EXPECT_EQ(disk->GetArray("Partitions")->Count(), 1u);
  EXPECT_THAT(GetString(disk->GetDictionary("Info"), "Bus"), Optional(std::string("PCI")));
  EXPECT_THAT(disk->Get<String>("DeviceIdentifier"), NotNull());
}

TEST(CFDictionaryTest, WrongTypedAndMissingValuesReadAsAbsent) {
  const Ref<Dictionary> disk = Disk();
  EXPECT_EQ(disk->GetString("Size"), std::nullopt);  // a number, not a string
  EXPECT_EQ(disk->GetInteger("DeviceIdentifier"), std::nullopt);
  EXPECT_EQ(disk->GetBool("Size"), std::nullopt);      // a number is not a boolean here
  EXPECT_EQ(disk->GetInteger("Ratio"), std::nullopt);  // no silent truncation
  EXPECT_EQ(disk->GetInteger("Huge"), std::nullopt);
  EXPECT_THAT(disk->GetDictionary("Partitions"), IsNull());
  EXPECT_THAT(disk->GetArray("Info"), IsNull());
  EXPECT_THAT(disk->Get<Number>("Missing"), IsNull());
  EXPECT_THAT(As<String>(Ref<Object>()), IsNull());

  // The null-tolerant readers let look-ups chain through missing levels.
  EXPECT_EQ(GetString(GetDictionary(disk, "Missing"), "Bus"), std::nullopt);
  EXPECT_EQ(GetInteger(nullptr, "Size"), std::nullopt);
  EXPECT_THAT(GetArray(nullptr, "Partitions"), IsNull());
}

TEST(CFDictionaryTest, ViewsNeverOfferMutation) {
  static_assert(kCanView<Dictionary>);
  static_assert(kCanView<Array>);
  static_assert(!kCanView<MutableDictionary>);
  static_assert(!kCanView<MutableArray>);

  // A mutable dictionary read back through a view is still the same object, and a change
  // needs a mutable copy, which leaves the original alone.
  const Ref<Dictionary> original = Disk();
  const Ref<MutableDictionary> copy = original->MutableCopy();
  EXPECT_TRUE(copy->SetValue("DeviceIdentifier", String::Create("disk9")));
  copy->RemoveValue("Size");
  EXPECT_THAT(original->GetString("DeviceIdentifier"), Optional(std::string("disk0")));
  EXPECT_TRUE(original->Contains("Size"));
  EXPECT_FALSE(copy->Contains("Size"));
  EXPECT_THAT(As<Dictionary>(Ref<Object>(copy)), NotNull());
}

TEST(CFDictionaryTest, CreationRefusesWhatThePlatformCannotHold) {
  EXPECT_THAT(Dictionary::Create({"a", "b"}, {Boolean::True()}), IsNull());
  EXPECT_THAT(Dictionary::Create({"a"}, {Ref<Object>()}), IsNull());
  EXPECT_THAT(Dictionary::Create({"\xC3"}, {Boolean::True()}), IsNull());
  const Ref<MutableDictionary> mutable_dictionary = MutableDictionary::Create();
  EXPECT_FALSE(mutable_dictionary->SetValue("key", nullptr));
  EXPECT_FALSE(mutable_dictionary->SetValue("\xFF", Boolean::True()));
  EXPECT_EQ(mutable_dictionary->Count(), 0u);

  // A repeated key keeps its last value.
  const Ref<Dictionary> repeated =
      Dictionary::Create({"k", "k"}, {Number::CreateInteger(1), Number::CreateInteger(2)});
  EXPECT_THAT(repeated->GetInteger("k"), Optional(2));
}

TEST(CFDictionaryTest, KeysAreKeptInLiteralUTF16Order) {
  const Ref<Dictionary> dictionary = Dictionary::Create(
      {"ratio", "Volumes", "Bytes", "\xEF\xBD\x9E", "\xF0\x9F\x98\x80"},
      {Boolean::True(), Boolean::True(), Boolean::True(), Boolean::True(), Boolean::True()});
  EXPECT_THAT(dictionary->Keys(),
              ElementsAre("Bytes", "Volumes", "ratio", "\xF0\x9F\x98\x80", "\xEF\xBD\x9E"));
}

TEST(CFDictionaryTest, EqualityIsDeep) {
  EXPECT_TRUE(Equal(Disk(), Disk()));
  const Ref<MutableDictionary> changed = Disk()->MutableCopy();
  changed->SetValue("Info", Dictionary::Create({"Bus"}, {String::Create("USB")}));
  EXPECT_FALSE(Equal(Disk(), changed));
  changed->SetValue("Info", Dictionary::Create({"Bus"}, {String::Create("PCI")}));
  EXPECT_TRUE(Equal(Disk(), changed));
  EXPECT_FALSE(Equal(Disk(), Dictionary::Create({}, {})));
}

TEST(CFArrayTest, MutableCopiesInsertAtIndexAndLeaveTheOriginalAlone) {
  const Ref<Array> original = Array::Create({String::Create("a"), String::Create("c")});
  const Ref<MutableArray> copy = original->MutableCopy();
  EXPECT_TRUE(copy->Insert(1, String::Create("b")));
  EXPECT_TRUE(copy->Insert(3, String::Create("d")));   // at the end
  EXPECT_FALSE(copy->Insert(5, String::Create("x")));  // beyond the end: no change
  EXPECT_FALSE(copy->Insert(0, nullptr));
  EXPECT_TRUE(copy->Append(String::Create("e")));
  std::vector<std::string> texts;
  for (const Ref<Object>& value : *copy) texts.push_back(ToStdString(As<String>(value)));
  EXPECT_THAT(texts, ElementsAre("a", "b", "c", "d", "e"));
  EXPECT_EQ(original->Count(), 2u);

  EXPECT_TRUE(copy->RemoveAt(0));
  EXPECT_FALSE(copy->RemoveAt(4));
  EXPECT_EQ(ToStdString(copy->Get<String>(0)), "b");
  EXPECT_THAT(copy->GetValue(99), IsNull());
  EXPECT_THAT(copy->Get<Number>(0), IsNull());  // a string, not a number
  EXPECT_THAT(Array::Create({String::Create("a"), nullptr}), IsNull());
}

TEST(CFArrayTest, ContainsAndEqualityCompareValuesDeeplyUpToTheNestingLimit) {
  const Ref<Array> array = Array::Create(
      {Number::CreateInteger(1), Dictionary::Create({"Bus"}, {String::Create("PCI")})});
  EXPECT_TRUE(array->Contains(Number::CreateReal(1.0)));
  EXPECT_TRUE(array->Contains(Dictionary::Create({"Bus"}, {String::Create("PCI")})));
  EXPECT_FALSE(array->Contains(Dictionary::Create({"Bus"}, {String::Create("USB")})));
  EXPECT_FALSE(array->Contains(nullptr));

  // Deeper than kMaxNesting, values no longer compare equal (instead of recursing on).
  Ref<Object> shallow = String::Create("x");
  Ref<Object> deep = String::Create("x");
  for (int level = 0; level < kMaxNesting; ++level) {
    shallow = Array::Create({shallow});
    deep = Array::Create({deep});
  }
  EXPECT_TRUE(Equal(shallow, deep));
  EXPECT_FALSE(Equal(Array::Create({shallow}), Array::Create({deep})));
}

}  // namespace
}  // namespace mcom::cf
