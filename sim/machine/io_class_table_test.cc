#include "sim/machine/io_class_table.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

// The table's own invariants (sorted, every chain ends at the root) are checked when it is
// compiled; these are the rules around it.
TEST(IOClassTable, ConformsAlongTheChainOnly) {
  EXPECT_EQ(SuperclassOf("AppleAPFSVolume"), "IOMedia");
  EXPECT_EQ(SuperclassOf("IORegistryEntry"), "");
  EXPECT_EQ(SuperclassOf("AppleT2Controller"), "IOService") << "unknown classes are services";
  EXPECT_TRUE(ClassConformsTo("AppleAPFSVolume", "AppleAPFSVolume"));
  EXPECT_TRUE(ClassConformsTo("AppleAPFSVolume", "IORegistryEntry"));
  EXPECT_TRUE(ClassConformsTo("AppleAPFSContainerScheme", "IOStorage"));
  EXPECT_TRUE(ClassConformsTo("SomethingNew", "IOService"));

  // Superclasses are not their subclasses, siblings are unrelated, the root is no service.
  EXPECT_FALSE(ClassConformsTo("IOMedia", "AppleAPFSMedia"));
  EXPECT_FALSE(ClassConformsTo("AppleAPFSVolume", "AppleAPFSMedia"));
  EXPECT_FALSE(ClassConformsTo("AppleAPFSContainer", "IOMedia"));
  EXPECT_FALSE(ClassConformsTo("IORegistryEntry", "IOService"));
  EXPECT_FALSE(ClassConformsTo("", "IOService"));
}

}  // namespace
}  // namespace sim
