#include "core/foundation/binary_property_list_writer.h"

#include <gmock/gmock.h>

#include <cmath>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;

std::string Binary(const Ref<Object>& root) {
  const Ref<Data> data = PropertyListToData(root, PropertyListFormat::kBinary);
  return data ? std::string(data->AsStringView()) : "<failed>";
}

std::string Trailer(int offset_size, int reference_size, int objects, int table) {
  std::string trailer(6, '\0');
  trailer += static_cast<char>(offset_size);
  trailer += static_cast<char>(reference_size);
  trailer += std::string(7, '\0') + static_cast<char>(objects);
  trailer += std::string(8, '\0');
  trailer += std::string(7, '\0') + static_cast<char>(table);
  return trailer;
}

TEST(BinaryPropertyListWriterTest, WritesTheFormatsLayout) {
  // The same bytes Python's plistlib writes for {"a": 1}.
  EXPECT_EQ(Binary(Dictionary::Create({"a"}, {Number::CreateInteger(1)})),
            std::string("bplist00"
                        "\xD1\x01\x02"   // dictionary: key 1, value 2
                        "\x51\x61"       // "a"
                        "\x10\x01"       // 1
                        "\x08\x0B\x0D",  // offsets
                        18) +
                Trailer(1, 1, 3, 15));
}

TEST(BinaryPropertyListWriterTest, EncodesEachValueAsThePlatformDoes) {
  const auto object = [](const Ref<Object>& value) {
    const std::string bytes = Binary(value);
    return bytes.substr(8, bytes.size() - 8 - 32 - 1);  // without header, table and trailer
  };
  EXPECT_EQ(object(Number::CreateInteger(255)), "\x10\xFF");
  EXPECT_EQ(object(Number::CreateInteger(256)), std::string("\x11\x01\x00", 3));
  EXPECT_EQ(object(Number::CreateInteger(-1)), std::string("\x13").append(8, '\xFF'));
  EXPECT_EQ(object(Number::CreateUnsigned(UINT64_MAX)),
            std::string("\x14").append(8, '\0').append(8, '\xFF'));
  EXPECT_EQ(object(Number::CreateReal(1.0)), std::string("\x23\x3F\xF0\0\0\0\0\0\0", 9));
  EXPECT_EQ(object(Date::Create(-0.5)), std::string("\x33\xBF\xE0\0\0\0\0\0\0", 9));
  EXPECT_EQ(object(Boolean::True()), "\x09");
  EXPECT_EQ(object(String::Create("caf\xC3\xA9")), std::string("\x64\0c\0a\0f\0\xE9", 9));
  EXPECT_EQ(object(Data::Create(std::string(15, 'x'))),
            std::string("\x4F\x10\x0F").append(15, 'x'));
}

TEST(BinaryPropertyListWriterTest, StoresEqualStringsOnce) {
  const std::string bytes = Binary(
      Dictionary::Create({"first", "second"}, {String::Create("first"), String::Create("first")}));
  EXPECT_EQ(bytes.find("\x55"
                       "first"),
            bytes.rfind("\x55"
                        "first"));
}

TEST(BinaryPropertyListWriterTest, WhatItWritesReadsBackEqual) {
  Array::Values many;
  for (int index = 0; index < 300; ++index) many.push_back(Number::CreateInteger(index * 1000));
  const Ref<Dictionary> root = Dictionary::Create(
      {"negative", "huge", "real", "nan", "date", "data", "text", "empty", "many", "nested"},
      {Number::CreateInteger(INT64_MIN), Number::CreateUnsigned(UINT64_MAX),
       Number::CreateReal(0.1), Number::CreateReal(NAN), Date::Create(-123456.789),
       Data::Create(std::string(1000, '\x7F')), String::Create("\xF0\x9F\x98\x80 caf\xC3\xA9 <&>"),
       Dictionary::Create({}, {}), Array::Create(many),
       Array::Create({Array::Create({Boolean::False()})})});
  const Ref<Object> reread =
      PropertyListFromData(PropertyListToData(root, PropertyListFormat::kBinary));
  ASSERT_THAT(reread, NotNull());
  EXPECT_TRUE(Equal(root, reread));
}

TEST(BinaryPropertyListWriterTest, RefusesWhatIsNotAPropertyList) {
  EXPECT_THAT(PropertyListToData(URLFromPath(FilePath("/tmp"), true), PropertyListFormat::kBinary),
              IsNull());
  EXPECT_THAT(PropertyListToData(Date::Create(INFINITY), PropertyListFormat::kBinary), IsNull());
  Ref<Object> deep = Boolean::True();
  for (int level = 0; level <= kMaxNesting; ++level) deep = Array::Create({deep});
  EXPECT_THAT(PropertyListToData(deep, PropertyListFormat::kBinary), IsNull());
}

}  // namespace
}  // namespace mcom::cf
