#include "core/discovery/container_size.h"

#include <gtest/gtest.h>

#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::DiskName;
using mcom::GetContainerSize;
using testing::RegistryBuilder;

TEST(GetContainerSize, IsTheSizeOfTheContainer) {
  testing::TemporaryMachineRoot root;
  RegistryBuilder registry;
  RegistryBuilder::Disk disk0 = registry.AddWholeDisk(0);
  registry.AddContainer(registry.AddPartition(disk0, 2, RegistryBuilder::kAPFSPartitionType, "S"),
                        1, 499963174912, 1234);
  ASSERT_TRUE(registry.WriteToMachine());

  const auto size = GetContainerSize(APFSContainerName{DiskName{1}});
  ASSERT_TRUE(std::holds_alternative<uint64_t>(size));
  EXPECT_EQ(std::get<uint64_t>(size), 499963174912u);
}

TEST(GetContainerSize, FailsWithTheStatusText) {
  testing::TemporaryMachineRoot root;
  RegistryBuilder registry;
  RegistryBuilder::Disk disk0 = registry.AddWholeDisk(0);
  registry.AddPartition(disk0, 2, RegistryBuilder::kAPFSPartitionType, "S");
  ASSERT_TRUE(registry.WriteToMachine());

  const auto not_a_container = GetContainerSize(APFSContainerName{DiskName{0, 2}});
  ASSERT_TRUE(std::holds_alternative<Error>(not_a_container));
  EXPECT_EQ(std::get<Error>(not_a_container),
            Error("APFSContainerGetSpaceInfo", "(iokit/common) data was not found"));

  const auto unknown = GetContainerSize(APFSContainerName{DiskName{3}});
  ASSERT_TRUE(std::holds_alternative<Error>(unknown));
  EXPECT_EQ(std::get<Error>(unknown),
            Error("APFSContainerGetSpaceInfo", "(iokit/common) no such device"));
}

}  // namespace
