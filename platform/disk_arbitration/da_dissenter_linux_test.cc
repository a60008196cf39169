#include <unistd.h>

#include <gmock/gmock.h>

#include <string>

#include "platform/disk_arbitration/da_dissenter.h"

namespace platform {
namespace {

TEST(DADissenterTest, CarriesItsStatusAndTextAndDescribesItself) {
  // The statuses are the service's own numbers, negative as an int (the descriptions below
  // and the answers of the service's tests show more of them).
  EXPECT_EQ(static_cast<uint32_t>(kDAReturnError), 0xF8DA0001u);
  EXPECT_EQ(kDAReturnBusy, -119930878);
  EXPECT_EQ(static_cast<uint32_t>(kDAReturnUnsupported), 0xF8DA000Cu);

  DADissenterRef bare = DADissenterCreate(kDAReturnBusy, nullptr);
  EXPECT_EQ(DADissenterGetStatus(bare), kDAReturnBusy);
  EXPECT_EQ(DADissenterGetStatusString(bare), nullptr);
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(CFCopyDescription(bare), "{ DAProcessID = " + pid + "; DAStatus = 0xf8da0002; }");

  DADissenterRef texted =
      DADissenterCreate(kDAReturnNotPermitted, mcom::cf::String::Create("not here"));
  EXPECT_EQ(mcom::cf::ToStdString(DADissenterGetStatusString(texted)), "not here");
  EXPECT_EQ(CFCopyDescription(texted), "{ DAProcessID = " + pid +
                                           "; DAStatus = 0xf8da0008; DAStatusString = \"not "
                                           "here\"; }");

  // Reference counting: the extra reference keeps it alive after the first release.
  EXPECT_EQ(CFRetain(texted), texted);
  CFRelease(texted);
  EXPECT_EQ(DADissenterGetStatus(texted), kDAReturnNotPermitted);
  CFRelease(texted);
  CFRelease(bare);

  EXPECT_EQ(DADissenterGetStatus(nullptr), kDAReturnSuccess);
  EXPECT_EQ(CFCopyDescription(static_cast<DADissenterRef>(nullptr)), "(null)");
  CFRelease(static_cast<DADissenterRef>(nullptr));
}

}  // namespace
}  // namespace platform
