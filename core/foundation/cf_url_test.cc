#include "core/foundation/cf_url.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <string>

#include "core/foundation/bookmark_data.h"
#include "tests/support/temporary_folder.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

TEST(CFURLTest, KeepsThePathAsGivenWithItsDirectoryFlag) {
  const Ref<URL> url = URLFromPath(FilePath("/Volumes/My Disk//a/./b"), true);
  ASSERT_THAT(url, NotNull());
  EXPECT_EQ(url->path().string(), "/Volumes/My Disk//a/./b");
  EXPECT_TRUE(url->is_directory());
  EXPECT_THAT(PathFromURL(url), Optional(FilePath("/Volumes/My Disk//a/./b")));
  EXPECT_EQ(url->AbsoluteString(), "file:///Volumes/My%20Disk//a/./b/");
  EXPECT_EQ(URLFromPath(FilePath("/tmp/caf\xC3\xA9#1"), false)->AbsoluteString(),
            "file:///tmp/caf%C3%A9%231");

  EXPECT_THAT(URLFromPath(FilePath(""), false), IsNull());
  EXPECT_THAT(URLFromPath(FilePath(std::string("/a\0b", 4)), false), IsNull());
  EXPECT_TRUE(Equal(URLFromPath(FilePath("/a"), true), URLFromPath(FilePath("/a"), true)));
  EXPECT_FALSE(Equal(URLFromPath(FilePath("/a"), true), URLFromPath(FilePath("/a"), false)));
}

TEST(CFURLTest, PathThroughTheFixedBufferStopsAt1023Bytes) {
  const std::string longest = "/" + std::string(1022, 'a');  // 1023 bytes + zero = 1024
  const std::string too_long = longest + "b";
  EXPECT_THAT(PathFromURL(URLFromPath(FilePath(longest), false)), Optional(FilePath(longest)));
  EXPECT_EQ(PathFromURL(URLFromPath(FilePath(too_long), false)), std::nullopt);
  // The copying variant has no limit.
  EXPECT_THAT(CopyPathOfURL(URLFromPath(FilePath(too_long), false)), Optional(FilePath(too_long)));
  EXPECT_EQ(PathFromURL(nullptr), std::nullopt);
  EXPECT_EQ(CopyPathOfURL(nullptr), std::nullopt);

  char small[4];
  EXPECT_FALSE(GetFileSystemRepresentation(URLFromPath(FilePath("/abc"), false), small, 4));
  EXPECT_TRUE(GetFileSystemRepresentation(URLFromPath(FilePath("/ab"), false), small, 4));
  EXPECT_STREQ(small, "/ab");
}

TEST(BookmarkDataTest, ResolvesBackToTheItemWhileItExistsAndFailuresAreEmpty) {
  testing::TemporaryFolder folder;
  const FilePath target = folder.Join("Backups");
  std::filesystem::create_directory(target.string());

  const Ref<Data> bookmark = CreateBookmarkData(
      URLFromPath(target, false), kBookmarkCreationMinimal, URLFromPath(folder.path(), true));
  ASSERT_THAT(bookmark, NotNull());
  // The documented plain encoding.
  EXPECT_THAT(std::string(bookmark->AsStringView()),
              testing::HasSubstr("<key>BookmarkPath</key>\n\t<string>" + target.string()));
  const Ref<URL> resolved = ResolveBookmarkData(bookmark);
  ASSERT_THAT(resolved, NotNull());
  EXPECT_EQ(resolved->path(), target);
  EXPECT_TRUE(resolved->is_directory());  // what the item is now

  std::filesystem::remove(target.string());
  EXPECT_THAT(ResolveBookmarkData(bookmark), IsNull());
  // Every other failure is empty too.
  EXPECT_THAT(CreateBookmarkData(nullptr), IsNull());
  EXPECT_THAT(CreateBookmarkData(URLFromPath(folder.Join("missing"), false)), IsNull());
  EXPECT_THAT(ResolveBookmarkData(nullptr), IsNull());
  EXPECT_THAT(ResolveBookmarkData(Data::Create(std::string("not a bookmark"))), IsNull());
}

}  // namespace
}  // namespace mcom::cf
