#include "core/foundation/cf_uuid.h"

#include <gmock/gmock.h>

#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;

TEST(CFUUIDTest, ParsesEitherCaseAndWritesUpperCase) {
  const Ref<UUID> lower = UUID::CreateFromString("7c3457ef-0000-11aa-aa11-00306543ecac");
  ASSERT_THAT(lower, NotNull());
  EXPECT_EQ(lower->ToString(), "7C3457EF-0000-11AA-AA11-00306543ECAC");
  EXPECT_EQ(lower->bytes()[0], 0x7C);
  EXPECT_EQ(lower->bytes()[15], 0xAC);
  EXPECT_TRUE(Equal(lower, UUID::CreateFromString("7C3457EF-0000-11AA-AA11-00306543ECAC")));
  EXPECT_FALSE(Equal(lower, UUID::CreateFromString("7C3457EF-0000-11AA-AA11-00306543ECAD")));
  // A UUID is not its text.
  EXPECT_FALSE(Equal(lower, String::Create("7C3457EF-0000-11AA-AA11-00306543ECAC")));
  // Nor is it a property-list value.
  EXPECT_THAT(PropertyListToData(lower, PropertyListFormat::kXML), IsNull());
  EXPECT_THAT(PropertyListToData(lower, PropertyListFormat::kBinary), IsNull());
}

TEST(CFUUIDTest, RefusesMalformedText) {
  for (const char* text :
       {"", "7C3457EF00000-11AA-AA11-00306543ECAC", "7C3457EF-0000-11AA-AA11-00306543ECA",
        "7C3457EF-0000-11AA-AA11-00306543ECACD", "7C3457EG-0000-11AA-AA11-00306543ECAC",
        "{7C3457EF-0000-11AA-AA11-00306543EC}"}) {
    EXPECT_THAT(UUID::CreateFromString(text), IsNull()) << text;
  }
}

}  // namespace
}  // namespace mcom::cf
