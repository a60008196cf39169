#include "core/discovery/service_property.h"

#include <gmock/gmock.h>

#include <string>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/error_category.h"
#include "platform/iokit/io_return.h"
#include "tests/support/registry_test.h"
#include "tests/support/result_matchers.h"

namespace {

using mcom::DiskName;
using mcom::iokit::BSDName;
using mcom::iokit::Service;
using mcom::iokit::SmallStringProperty;
using testing::FailedWithValue;
using testing::HasValue;

// The first service named `name`.
Service Media(const char* name) {
  return Service(platform::IOServiceGetMatchingService(platform::kIOMainPortDefault,
                                                       platform::IOServiceNameMatching(name)));
}

class ServicePropertyTest : public testing::RegistryTest {
 protected:
  void SetUp() override {
    registry_.Add(registry_.root(), "IOMedia", "sample")
        .String("BSD Name", "disk4s2")
        .Bool("Whole", false)
        .String("Writable", "Yes")
        .Integer("Size", 4096)
        .Strings("Role", {"Data"})
        .Value("Protocol Characteristics", mcom::cf::Dictionary::Create({}, {}))
        .String("Exactly128", std::string(127, 'x'))
        .String("TooLong", std::string(128, 'x'))
        .Value("Padded", mcom::cf::Data::Create(std::string_view("disk2\0junk", 10)));
    registry_.Add(registry_.root(), "IOMedia", "network").String("BSD Name", "en0");
    registry_.Add(registry_.root(), "IOMedia", "trailing").String("BSD Name", "disk1s1x");
    registry_.Add(registry_.root(), "IOMedia", "nameless");
    registry_.Add(registry_.root(), "IOMedia", "padded")
        .Value("BSD Name", mcom::cf::Data::Create(std::string_view("disk2\0junk", 10)));
    Write();
  }
};

TEST_F(ServicePropertyTest, TypedViewsReadAnotherTypeAsAbsent) {
  const Service media = Media("sample");
  ASSERT_TRUE(media);
  EXPECT_TRUE(mcom::iokit::DictionaryProperty(media, "Protocol Characteristics"));
  EXPECT_FALSE(mcom::iokit::DictionaryProperty(media, "Role"));
  EXPECT_TRUE(mcom::iokit::ArrayProperty(media, "Role"));
  EXPECT_FALSE(mcom::iokit::ArrayProperty(media, "BSD Name"));
  EXPECT_EQ(mcom::cf::ToStdString(mcom::iokit::StringProperty(media, "BSD Name")), "disk4s2");
  EXPECT_FALSE(mcom::iokit::StringProperty(media, "Size"));
  EXPECT_FALSE(mcom::iokit::StringProperty(media, "Missing"));
}

TEST_F(ServicePropertyTest, BooleansAreTheTrueAndFalseObjectsOnly) {
  const Service media = Media("sample");
  EXPECT_TRUE(mcom::iokit::PropertyIsFalse(media, "Whole"));
  EXPECT_FALSE(mcom::iokit::PropertyIsTrue(media, "Whole"));
  // The string "Yes" and a missing property are neither.
  EXPECT_FALSE(mcom::iokit::PropertyIsTrue(media, "Writable"));
  EXPECT_FALSE(mcom::iokit::PropertyIsFalse(media, "Writable"));
  EXPECT_FALSE(mcom::iokit::PropertyIsTrue(media, "Missing"));
  EXPECT_FALSE(mcom::iokit::PropertyIsFalse(media, "Missing"));
}

TEST_F(ServicePropertyTest, ReadsSmallStringsIntoA128ByteBuffer) {
  const Service media = Media("sample");
  EXPECT_THAT(SmallStringProperty(media, "BSD Name", true), HasValue(std::string("disk4s2")));
  EXPECT_THAT(SmallStringProperty(media, "BSD Name", false), HasValue(std::string("disk4s2\0", 8)));
  EXPECT_THAT(SmallStringProperty(media, "Padded", true), HasValue(std::string("disk2")));
  EXPECT_THAT(SmallStringProperty(media, "Padded", false),
              HasValue(std::string("disk2\0junk", 10)));
  // 127 characters and the zero fill the buffer exactly; one more does not fit.
  EXPECT_THAT(SmallStringProperty(media, "Exactly128", true), HasValue(std::string(127, 'x')));
  const mcom::Result<std::string> too_long = SmallStringProperty(media, "TooLong", true);
  EXPECT_THAT(too_long, FailedWithValue(platform::kIOReturnNoSpace));
  EXPECT_EQ(&too_long.error().category(), &mcom::iokit::category());
  EXPECT_EQ(too_long.error().message(), "(iokit/common) no space for data");

  const mcom::Result<std::string> missing = SmallStringProperty(media, "Missing", true);
  EXPECT_THAT(missing, FailedWithValue(platform::kIOReturnNotFound));
  EXPECT_EQ(missing.error().message(), "(iokit/common) data was not found");
  EXPECT_THAT(SmallStringProperty(media, "Role", true),
              FailedWithValue(platform::kIOReturnBadArgument));
  EXPECT_THAT(SmallStringProperty(Service(), "BSD Name", true),
              FailedWithValue(platform::kIOReturnBadArgument));
}

TEST_F(ServicePropertyTest, MapsBSDNamesThatParseOnlyAndNamesTheClass) {
  EXPECT_EQ(BSDName(Media("sample")), (DiskName{4, 2}));
  EXPECT_EQ(BSDName(Media("padded")), (DiskName{2}));
  EXPECT_EQ(BSDName(Media("network")), std::nullopt);
  EXPECT_EQ(BSDName(Media("trailing")), std::nullopt);
  EXPECT_EQ(BSDName(Media("nameless")), std::nullopt);
  EXPECT_EQ(BSDName(Service()), std::nullopt);

  EXPECT_EQ(mcom::iokit::ClassName(Media("sample")), "IOMedia");
  EXPECT_EQ(mcom::iokit::ClassName(Service()), "");
}

}  // namespace
