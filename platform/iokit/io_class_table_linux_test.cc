#include "platform/iokit/io_class_table.h"

#include <gtest/gtest.h>

namespace {

using platform::iokit_internal::ClassConformsTo;
using platform::iokit_internal::SuperclassOf;

TEST(IOClassTable, LeadsEveryStorageClassUpToTheRoot) {
  EXPECT_EQ(SuperclassOf("AppleAPFSVolume"), "IOMedia");
  EXPECT_EQ(SuperclassOf("AppleAPFSMedia"), "IOMedia");
  EXPECT_EQ(SuperclassOf("IOMedia"), "IOStorage");
  EXPECT_EQ(SuperclassOf("IOStorage"), "IOService");
  EXPECT_EQ(SuperclassOf("IOService"), "IORegistryEntry");
  EXPECT_EQ(SuperclassOf("IORegistryEntry"), "");
  EXPECT_EQ(SuperclassOf("AppleAPFSContainer"), "IOPartitionScheme");
  EXPECT_EQ(SuperclassOf("IOHDIXHDDriveOutKernel"), "IOBlockStorageDevice");
  // Classes the table does not know hang directly below IOService.
  EXPECT_EQ(SuperclassOf("AppleT2Controller"), "IOService");
  EXPECT_EQ(SuperclassOf(""), "IOService");
}

TEST(IOClassTable, ConformsAlongTheChainOnly) {
  EXPECT_TRUE(ClassConformsTo("AppleAPFSVolume", "AppleAPFSVolume"));
  EXPECT_TRUE(ClassConformsTo("AppleAPFSVolume", "IOMedia"));
  EXPECT_TRUE(ClassConformsTo("AppleAPFSVolume", "IORegistryEntry"));
  EXPECT_TRUE(ClassConformsTo("AppleAPFSContainerScheme", "IOStorage"));
  EXPECT_TRUE(ClassConformsTo("IONVMeBlockStorageDevice", "IOBlockStorageDevice"));
  EXPECT_TRUE(ClassConformsTo("SomethingNew", "IOService"));

  // Superclasses are not their subclasses, and siblings are unrelated.
  EXPECT_FALSE(ClassConformsTo("IOMedia", "AppleAPFSMedia"));
  EXPECT_FALSE(ClassConformsTo("AppleAPFSVolume", "AppleAPFSMedia"));
  EXPECT_FALSE(ClassConformsTo("AppleAPFSContainer", "IOMedia"));
  EXPECT_FALSE(ClassConformsTo("AppleAPFSContainerScheme", "IOPartitionScheme"));
  // The root's class is no service.
  EXPECT_FALSE(ClassConformsTo("IORegistryEntry", "IOService"));
  EXPECT_FALSE(ClassConformsTo("", "IOService"));
}

}  // namespace
