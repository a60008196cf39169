#include "platform/extended_attributes.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temporary_folder.h"

namespace {

TEST(AttributeNames, MacNamesLiveInTheUserNamespace) {
  EXPECT_EQ(platform::HostAttributeName("com.apple.quarantine"), "user.com.apple.quarantine");
  EXPECT_EQ(platform::MacAttributeName("user.com.apple.quarantine"), "com.apple.quarantine");
  // A Mac name that happens to start like a namespace still comes back unchanged.
  EXPECT_EQ(platform::MacAttributeName(platform::HostAttributeName("user.x").c_str()), "user.x");
  EXPECT_EQ(platform::MacAttributeName("trusted.overlay.opaque"), "");
  EXPECT_EQ(platform::MacAttributeName("security.selinux"), "");
  EXPECT_EQ(platform::MacAttributeName("user."), "");
  EXPECT_EQ(platform::MacAttributeName("username"), "");
}

TEST(Attributes, ReadWithTheSizeThenReadShape) {
  testing::TemporaryFolder folder;
  const std::string path = folder.WriteFile("file", "data").string();
  const std::string value("\0\1binary\0value\xff", 15);
  ASSERT_FALSE(
      platform::SetAttribute(path.c_str(), "com.apple.FinderInfo", value.data(), value.size()));

  char raw[64] = {};
  ASSERT_EQ(::getxattr(path.c_str(), "user.com.apple.FinderInfo", raw, sizeof raw), 15)
      << "stored under the user namespace";

  size_t length = 0;
  ASSERT_FALSE(platform::GetAttribute(path.c_str(), "com.apple.FinderInfo", nullptr, 0, &length));
  EXPECT_EQ(length, value.size()) << "a null buffer asks for the size";
  std::string read(length, '?');
  ASSERT_FALSE(platform::GetAttribute(path.c_str(), "com.apple.FinderInfo", read.data(),
                                      read.size(), &length));
  EXPECT_EQ(read, value);

  char small[4];
  EXPECT_EQ(
      platform::GetAttribute(path.c_str(), "com.apple.FinderInfo", small, sizeof small, &length),
      std::errc::result_out_of_range);
  EXPECT_EQ(platform::GetAttribute(path.c_str(), "com.apple.missing", nullptr, 0, &length),
            std::errc::no_message_available)
      << "ENODATA, Linux's ENOATTR";
  EXPECT_EQ(platform::GetAttribute(path.c_str(), "", nullptr, 0, &length),
            std::errc::invalid_argument);
}

TEST(Attributes, ListShowsOnlyMacNames) {
  testing::TemporaryFolder folder;
  const std::string path = folder.WriteFile("file", "data").string();
  ASSERT_FALSE(platform::SetAttribute(path.c_str(), "com.apple.quarantine", "q", 1));
  ASSERT_FALSE(
      platform::SetAttribute(path.c_str(), "com.apple.metadata:kMDItemWhereFroms", "w", 1));
  // Root may write the trusted namespace, which has no Mac name and must stay hidden.
  const bool has_trusted = ::setxattr(path.c_str(), "trusted.dorvane", "t", 1, 0) == 0;

  size_t size = 0;
  ASSERT_FALSE(platform::ListAttributes(path.c_str(), nullptr, 0, &size));
  std::string names(size, '\0');
  size_t length = 0;
  ASSERT_FALSE(platform::ListAttributes(path.c_str(), names.data(), names.size(), &length));
  EXPECT_EQ(length, size);
  EXPECT_NE(names.find(std::string("com.apple.quarantine\0", 21)), std::string::npos) << names;
  EXPECT_NE(names.find("com.apple.metadata:kMDItemWhereFroms"), std::string::npos) << names;
  EXPECT_EQ(names.find("user."), std::string::npos) << names;
  EXPECT_EQ(names.find("dorvane"), std::string::npos) << "trusted: " << has_trusted;
  EXPECT_EQ(size, std::string("com.apple.quarantine").size() + 1 +
                      std::string("com.apple.metadata:kMDItemWhereFroms").size() + 1);

  EXPECT_EQ(platform::ListAttributes(path.c_str(), names.data(), size - 1, &length),
            std::errc::result_out_of_range);
  EXPECT_EQ(platform::ListAttributes(folder.Join("missing").c_str(), nullptr, 0, &length),
            std::errc::no_such_file_or_directory);
}

TEST(Attributes, FinalLinksAreNotFollowed) {
  testing::TemporaryFolder folder;
  const std::string target = folder.WriteFile("target", "data").string();
  const std::string link = folder.Join("link").string();
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_FALSE(platform::SetAttribute(target.c_str(), "com.apple.quarantine", "q", 1));

  size_t length = 0;
  EXPECT_EQ(platform::GetAttribute(link.c_str(), "com.apple.quarantine", nullptr, 0, &length),
            std::errc::no_message_available);
  ASSERT_FALSE(platform::ListAttributes(link.c_str(), nullptr, 0, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(platform::SetAttribute(link.c_str(), "com.apple.quarantine", "q", 1),
            std::errc::operation_not_permitted)
      << "Linux refuses user attributes on links";
}

TEST(Attributes, SimulatedMachineRefusesThePrivacyFolderWithoutFullDiskAccess) {
  testing::TemporaryFolder root;
  const std::string tcc =
      root.WriteFile("Library/Application Support/com.apple.TCC/TCC.db", "").Parent().string();
  const std::string fact = "private/var/db/macsim/facts/full-disk-access";
  size_t length = 0;
  const auto read_rootless = [&](const std::string& path) {
    return platform::GetAttribute(path.c_str(), "com.apple.rootless", nullptr, 0, &length);
  };

  // Without a fact file the host answers: the folder has no such attribute.
  EXPECT_EQ(read_rootless(tcc), std::errc::no_message_available);
  root.WriteFile(fact, "yes\n");
  EXPECT_EQ(read_rootless(tcc), std::errc::no_message_available);

  root.WriteFile(fact, "no\n");
  EXPECT_EQ(read_rootless(tcc), std::errc::operation_not_permitted);
  EXPECT_EQ(read_rootless(tcc + "/"), std::errc::operation_not_permitted);
  // Only that one attribute of that one folder is guarded.
  EXPECT_EQ(platform::GetAttribute(tcc.c_str(), "com.apple.quarantine", nullptr, 0, &length),
            std::errc::no_message_available);
  EXPECT_EQ(read_rootless(tcc + "/TCC.db"), std::errc::no_message_available);
  EXPECT_EQ(read_rootless(root.Join("Library").string()), std::errc::no_message_available);
}

}  // namespace
