#include "core/foundation/cf_data.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/cf_date.h"

namespace mcom::cf {
namespace {

TEST(CFDataTest, CreateCopiesTheBytesAndEqualityIsByBytes) {
  std::string source = "abc";
  const Ref<Data> data = Data::Create(source);
  source[0] = 'X';
  EXPECT_EQ(data->AsStringView(), "abc");
  EXPECT_EQ(data->length(), 3u);
  EXPECT_EQ(Data::Create(nullptr, 0)->length(), 0u);
  // Equality is by bytes.
  EXPECT_TRUE(Equal(data, Data::Create(std::string("abc"))));
  EXPECT_FALSE(Equal(data, Data::Create(std::string("ab"))));
  EXPECT_TRUE(Equal(Data::Create(nullptr, 0), Data::Create(std::string())));
}

TEST(CFDataTest, NoCopyDataReleasesTheBytesOnceWithTheLastReference) {
  static const uint8_t kBytes[] = {1, 2, 3};
  int released = 0;
  const void* released_bytes = nullptr;
  {
    Ref<Data> data = Data::CreateWithBytesNoCopy(kBytes, sizeof kBytes, [&](const void* bytes) {
      ++released;
      released_bytes = bytes;
    });
    EXPECT_EQ(data->bytes(), kBytes);  // not copied
    Ref<Data> copy = data;
    data.reset();
    EXPECT_EQ(released, 0);
  }
  EXPECT_EQ(released, 1);
  EXPECT_EQ(released_bytes, kBytes);

  // Without a deallocator the caller keeps the bytes.
  { Data::CreateWithBytesNoCopy(kBytes, sizeof kBytes, nullptr); }
  EXPECT_EQ(kBytes[0], 1);
}

TEST(CFDataTest, GetBytesCopiesOnlyRangesInsideTheData) {
  const Ref<Data> data = Data::Create(std::string("0123456789"));
  char buffer[4] = {};
  EXPECT_TRUE(data->GetBytes(6, 4, buffer));
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_FALSE(data->GetBytes(7, 4, buffer));
  EXPECT_FALSE(data->GetBytes(11, 0, buffer));
  EXPECT_FALSE(data->GetBytes(SIZE_MAX, 2, buffer));
  EXPECT_TRUE(data->GetBytes(10, 0, buffer));
}

TEST(CFDateTest, AbsoluteTimeCountsFrom2001) {
  const Ref<Date> date = Date::Create(-0.5);
  EXPECT_EQ(date->absolute_time(), -0.5);
  EXPECT_EQ(date->SecondsSince1970(), 978307199.5);
  EXPECT_EQ(Date::CreateFromSecondsSince1970(978307200.0)->absolute_time(), 0.0);
  EXPECT_TRUE(Equal(Date::Create(12.25), Date::Create(12.25)));
  EXPECT_FALSE(Equal(Date::Create(12.25), Date::Create(12.0)));
}

}  // namespace
}  // namespace mcom::cf
