#include "core/foundation/cf_number.h"

#include <gmock/gmock.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/foundation/cf_string.h"

namespace mcom::cf {
namespace {

using ::testing::Eq;
using ::testing::Optional;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr uint64_t kUInt64Max = std::numeric_limits<uint64_t>::max();

TEST(CFNumberTest, IntegersKeepTheirSignAndUnsignedValuesAboveInt64Max) {
  const Ref<Number> negative = Number::CreateInteger(-5);
  EXPECT_EQ(negative->kind(), Number::Kind::kSigned);
  EXPECT_THAT(negative->Int64Value(), Optional(-5));
  EXPECT_EQ(negative->UInt64Value(), std::nullopt);

  const Ref<Number> huge = Number::CreateUnsigned(kUInt64Max);
  EXPECT_EQ(huge->kind(), Number::Kind::kUnsigned);
  EXPECT_THAT(huge->UInt64Value(), Optional(kUInt64Max));
  EXPECT_EQ(huge->Int64Value(), std::nullopt);

  // An unsigned value that fits is the same signed integer.
  EXPECT_EQ(Number::CreateUnsigned(42)->kind(), Number::Kind::kSigned);
  EXPECT_THAT(Number::CreateInteger(kInt64Min)->Int64Value(), Optional(kInt64Min));
}

TEST(CFNumberTest, ReadingAsAnIntegerNeverTruncatesSilently) {
  EXPECT_THAT(Number::CreateReal(3.0)->Int64Value(), Optional(Eq(3)));
  EXPECT_EQ(Number::CreateReal(2.5)->Int64Value(), std::nullopt);
  EXPECT_EQ(Number::CreateReal(NAN)->Int64Value(), std::nullopt);
  EXPECT_EQ(Number::CreateReal(0x1p63)->Int64Value(), std::nullopt);
  EXPECT_THAT(Number::CreateReal(-0x1p63)->Int64Value(), Optional(kInt64Min));
  EXPECT_THAT(Number::CreateReal(0x1p63)->UInt64Value(), Optional(uint64_t{1} << 63));
  EXPECT_EQ(Number::CreateReal(-1.0)->UInt64Value(), std::nullopt);
  EXPECT_DOUBLE_EQ(Number::CreateInteger(7)->DoubleValue(), 7.0);
}

TEST(CFNumberTest, EqualityComparesValuesAcrossKinds) {
  EXPECT_TRUE(Equal(Number::CreateInteger(1), Number::CreateReal(1.0)));
  EXPECT_FALSE(Equal(Number::CreateInteger(1), Number::CreateReal(1.5)));
  EXPECT_TRUE(Equal(Number::CreateReal(NAN), Number::CreateReal(NAN)));
  EXPECT_TRUE(Equal(Number::CreateReal(0.0), Number::CreateReal(-0.0)));
  // -1 and 2^64 - 1 share their bits but are different numbers.
  EXPECT_FALSE(Equal(Number::CreateInteger(-1), Number::CreateUnsigned(kUInt64Max)));
  // Exact comparison: 2^63 - 1 is not the double 2^63 it rounds to.
  EXPECT_FALSE(Equal(Number::CreateInteger(kInt64Max), Number::CreateReal(0x1p63)));
  EXPECT_TRUE(Equal(Number::CreateUnsigned(uint64_t{1} << 63), Number::CreateReal(0x1p63)));
  EXPECT_FALSE(Equal(Number::CreateInteger(1), String::Create("1")));
}

}  // namespace
}  // namespace mcom::cf
