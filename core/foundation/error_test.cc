#include "core/foundation/error.h"

#include <gtest/gtest.h>

#include <optional>

#include "core/foundation/result.h"

namespace {

TEST(Error, DescriptionJoinsTheWholeCauseChain) {
  const Error space("APFSContainerGetSpaceInfo", "(iokit/common) not permitted");
  const Error size("backup", "failed to get size of source container disk1", space);
  const Error outer("PerformBackup", "backup failed", size);

  EXPECT_EQ(space.FullDescription(), "APFSContainerGetSpaceInfo: (iokit/common) not permitted");
  EXPECT_EQ(outer.FullDescription(),
            "PerformBackup: backup failed: backup: failed to get size of source container disk1: "
            "APFSContainerGetSpaceInfo: (iokit/common) not permitted");
}

TEST(Error, CauseOutlivesTheErrorItWasMadeFrom) {
  std::optional<Error> cause(std::in_place, "CreateSparseImage", "disk full");
  const Error outer("PerformBackup", "failed", *cause);
  cause.reset();

  ASSERT_NE(outer.cause(), nullptr);
  EXPECT_EQ(outer.cause()->operation(), "CreateSparseImage");
  EXPECT_EQ(outer.cause()->message(), "disk full");
  EXPECT_EQ(outer.cause()->cause(), nullptr);
}

TEST(Error, EqualityComparesTheCauseChain) {
  const Error a("Op", "message", Error("Inner", "one"));
  EXPECT_EQ(a, Error("Op", "message", Error("Inner", "one")));
  EXPECT_NE(a, Error("Op", "message", Error("Inner", "two")));
  EXPECT_NE(a, Error("Op", "message"));
}

TEST(Error, EmptyMessageStillSeparates) {
  // A tool that printed nothing leaves a message ending in ": ".
  EXPECT_EQ(Error("CreateSparseImage", "failed to create image at /x: ").FullDescription(),
            "CreateSparseImage: failed to create image at /x: ");
}

TEST(Result, ValueOfAnErrorThrowsTheCode) {
  mcom::Result<int> failed(std::make_error_code(std::errc::broken_pipe));
  EXPECT_FALSE(failed.has_value());
  try {
    (void)failed.value();
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::broken_pipe);
  }
}

TEST(Result, ZeroCodeOfAnyCategoryIsSuccess) {
  const std::error_code zero(0, std::system_category());
  EXPECT_FALSE(zero);
  mcom::Result<int> value(5);
  EXPECT_FALSE(value.error());
  EXPECT_EQ(*value, 5);
}

}  // namespace
