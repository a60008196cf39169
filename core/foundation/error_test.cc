#include "core/foundation/error.h"

#include <gmock/gmock.h>

#include <optional>

#include "core/foundation/result.h"
#include "tests/support/error_matchers.h"

namespace {

using testing::ErrorIs;

TEST(Error, DescriptionJoinsTheWholeCauseChain) {
  const Error space("APFSContainerGetSpaceInfo", "(iokit/common) not permitted");
  const Error size("backup", "failed to get size of source container disk1", space);
  const Error outer("PerformBackup", "backup failed", size);

  EXPECT_EQ(space.FullDescription(), "APFSContainerGetSpaceInfo: (iokit/common) not permitted");
  EXPECT_EQ(outer.FullDescription(),
            "PerformBackup: backup failed: backup: failed to get size of source container disk1: "
            "APFSContainerGetSpaceInfo: (iokit/common) not permitted");
  // A tool that printed nothing leaves a message ending in ": ".
  EXPECT_EQ(Error("CreateSparseImage", "failed to create image at /x: ").FullDescription(),
            "CreateSparseImage: failed to create image at /x: ");
}

TEST(Error, CauseOutlivesTheErrorItWasMadeFromAndEqualityComparesTheChain) {
  std::optional<Error> cause(std::in_place, "CreateSparseImage", "disk full");
  const Error outer("PerformBackup", "failed", *cause);
  cause.reset();
  EXPECT_THAT(outer, ErrorIs("PerformBackup", "failed", ErrorIs("CreateSparseImage", "disk full")));
  EXPECT_EQ(outer.cause()->cause(), nullptr);

  // Equality compares the whole chain.
  const Error a("Op", "message", Error("Inner", "one"));
  EXPECT_EQ(a, Error("Op", "message", Error("Inner", "one")));
  EXPECT_NE(a, Error("Op", "message", Error("Inner", "two")));
  EXPECT_NE(a, Error("Op", "message"));
}

TEST(Result, ValueOfAnErrorThrowsTheCodeAndZeroOfAnyCategoryIsSuccess) {
  mcom::Result<int> failed(std::make_error_code(std::errc::broken_pipe));
  EXPECT_FALSE(failed.has_value());
  EXPECT_THAT([&] { (void)failed.value(); },
              testing::ThrowsSystemError(std::make_error_code(std::errc::broken_pipe)));

  EXPECT_FALSE(std::error_code(0, std::system_category()));
  mcom::Result<int> value(5);
  EXPECT_FALSE(value.error());
  EXPECT_EQ(*value, 5);
}

}  // namespace
