#include "core/foundation/full_disk_access.h"

#include <sys/xattr.h>

#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "core/foundation/full_disk_access_internal.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using testing::Succeeded;

TEST(FullDiskAccess, OnlyARefusedReadMeansNoAccess) {
  using mcom::internal::AccessFromProbeResult;
  EXPECT_TRUE(AccessFromProbeResult({}));
  EXPECT_FALSE(AccessFromProbeResult(std::error_code(EPERM, std::system_category())));
  EXPECT_FALSE(AccessFromProbeResult(std::error_code(EPERM, std::generic_category())));
  EXPECT_TRUE(AccessFromProbeResult(std::error_code(EACCES, std::system_category())))
      << "only EPERM is the privacy refusal";
  EXPECT_TRUE(AccessFromProbeResult(std::error_code(ENOENT, std::system_category())));
  EXPECT_TRUE(AccessFromProbeResult(std::error_code(ENODATA, std::system_category())));
}

TEST(FullDiskAccess, GrantedWhereTheProtectedFolderIsMissingOrReadable) {
  testing::TemporaryMachineRoot root;
  EXPECT_TRUE(mcom::HasFullDiskAccess()) << "no protected folder on this machine";

  const mcom::FilePath folder = root.Join("Library/Application Support/com.apple.TCC");
  ASSERT_THAT(mcom::MakePath(folder), Succeeded());
  EXPECT_TRUE(mcom::HasFullDiskAccess()) << "the folder without the attribute";
  ASSERT_EQ(::setxattr(folder.c_str(), "user.com.apple.rootless", "", 0, 0), 0);
  EXPECT_TRUE(mcom::HasFullDiskAccess()) << "the attribute read";
}

}  // namespace
