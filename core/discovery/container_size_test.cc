#include "core/discovery/container_size.h"

#include <gmock/gmock.h>

#include "tests/support/error_matchers.h"
#include "tests/support/registry_test.h"

namespace {

using mcom::DiskName;
using mcom::GetContainerSize;
using testing::ErrorIs;
using testing::VariantWith;

using GetContainerSizeTest = testing::RegistryTest;

TEST_F(GetContainerSizeTest, IsTheSizeOfTheContainerOrTheStatusText) {
  registry_.AddMac({});  // its container's size differs from its free space
  Write();
  EXPECT_THAT(GetContainerSize(APFSContainerName{DiskName{1}}),
              VariantWith<uint64_t>(499963174912u));
  EXPECT_THAT(GetContainerSize(APFSContainerName{DiskName{0, 2}}),
              VariantWith<Error>(
                  ErrorIs("APFSContainerGetSpaceInfo", "(iokit/common) data was not found")));
  EXPECT_THAT(
      GetContainerSize(APFSContainerName{DiskName{3}}),
      VariantWith<Error>(ErrorIs("APFSContainerGetSpaceInfo", "(iokit/common) no such device")));
}

}  // namespace
