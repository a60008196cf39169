#include "core/foundation/cf_error.h"

#include <gtest/gtest.h>

#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"

namespace mcom::cf {
namespace {

TEST(CFError, DescribesItselfAsThePlatformDoesAndComparesByValue) {
  const Ref<Error> bare = Error::Create(kErrorDomainOSStatus, -67050, nullptr);
  EXPECT_EQ(bare->Description(), "Error Domain=NSOSStatusErrorDomain Code=-67050 \"(null)\"");
  EXPECT_EQ(bare->user_info()->Count(), 0u);

  // String values are shown in key order; others are left out.
  const Ref<Error> detailed = Error::Create(
      kErrorDomainOSStatus, -67052,
      Dictionary::Create({{"SecRequirementSyntax", String::Create("line 1:1: unexpected end")},
                          {"Count", Number::CreateInteger(2)},
                          {"NSLocalizedDescription", String::Create("bad requirement")},
                          {"A", String::Create("first")}}));
  EXPECT_EQ(detailed->Description(),
            "Error Domain=NSOSStatusErrorDomain Code=-67052 \"bad requirement\" "
            "UserInfo={A=first, SecRequirementSyntax=line 1:1: unexpected end}");

  EXPECT_TRUE(Equal(bare, Error::Create(kErrorDomainOSStatus, -67050, nullptr)));
  EXPECT_FALSE(Equal(bare, Error::Create(kErrorDomainOSStatus, -67051, nullptr)));
  EXPECT_FALSE(Equal(bare, detailed));
}

}  // namespace
}  // namespace mcom::cf
