#include "core/foundation/extended_attributes.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/foundation/extended_attributes_internal.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::FailedWith;
using testing::HasValue;
using testing::IsEmpty;
using testing::Succeeded;
using testing::UnorderedElementsAre;

std::vector<char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

void ExpectSystemError(std::error_code error, std::errc expected) {
  EXPECT_EQ(error, expected) << error.message();
  EXPECT_EQ(error.category(), std::system_category());
}

TEST(ExtendedAttributes, ReadAndListByMacNames) {
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("file", "data");
  const std::string finder_info("\0\0\0\0TEXT\x80\xff", 10);
  ASSERT_EQ(::setxattr(file.c_str(), "user.com.apple.FinderInfo", finder_info.data(),
                       finder_info.size(), 0),
            0);
  ASSERT_EQ(::setxattr(file.c_str(), "user.com.apple.quarantine", "0081;", 5, 0), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "user.com.apple.empty", "", 0, 0), 0);

  EXPECT_THAT(mcom::ReadExtendedAttribute(file, "com.apple.FinderInfo"),
              HasValue(Bytes(finder_info)));
  EXPECT_THAT(mcom::ReadExtendedAttribute(file, "com.apple.quarantine"), HasValue(Bytes("0081;")));
  EXPECT_THAT(mcom::ReadExtendedAttribute(file, "com.apple.empty"), HasValue(IsEmpty()));
  EXPECT_THAT(mcom::ListExtendedAttributes(file),
              HasValue(UnorderedElementsAre("com.apple.FinderInfo", "com.apple.quarantine",
                                            "com.apple.empty")));
  EXPECT_THAT(mcom::ListExtendedAttributes(folder.WriteFile("plain", "")), HasValue(IsEmpty()));

  ExpectSystemError(mcom::ReadExtendedAttribute(file, "com.apple.missing").error(),
                    std::errc::no_message_available);
  ExpectSystemError(
      mcom::ReadExtendedAttribute(folder.Join("missing"), "com.apple.quarantine").error(),
      std::errc::no_such_file_or_directory);
  ExpectSystemError(mcom::ListExtendedAttributes(folder.Join("missing")).error(),
                    std::errc::no_such_file_or_directory);

  // A final link is not followed: the link itself has no attributes.
  const FilePath link = folder.Join("link");
  ASSERT_EQ(::symlink("file", link.c_str()), 0);
  ExpectSystemError(mcom::ReadExtendedAttribute(link, "com.apple.quarantine").error(),
                    std::errc::no_message_available);
  EXPECT_THAT(mcom::ListExtendedAttributes(link), HasValue(IsEmpty()));
}

// A query whose value changes between calls in a scripted way.
struct ScriptedValue {
  std::vector<std::string> sizes_then_values;  // the value seen by each successive call
  size_t calls = 0;

  std::error_code operator()(void* buffer, size_t size, size_t* length) {
    const std::string& value =
        sizes_then_values.at(std::min(calls++, sizes_then_values.size() - 1));
    if (buffer == nullptr) {
      *length = value.size();
      return {};
    }
    if (value.size() > size) return std::make_error_code(std::errc::result_out_of_range);
    std::memcpy(buffer, value.data(), value.size());
    *length = value.size();
    return {};
  }
};

TEST(ReadSizedValue, AsksAgainWhenTheValueGrew) {
  // Sized at 4 bytes, grown to 8 before the read, stable afterwards.
  ScriptedValue grows{{"four", "eight!!!", "eight!!!", "eight!!!"}};
  EXPECT_THAT(mcom::internal::ReadSizedValue(std::ref(grows)), HasValue(Bytes("eight!!!")));
  EXPECT_EQ(grows.calls, 4u) << "size, failed read, size, read";

  ScriptedValue shrinks{{"eight!!!", "abc"}};
  EXPECT_THAT(mcom::internal::ReadSizedValue(std::ref(shrinks)), HasValue(Bytes("abc")));

  // Empty when sized, filled before the read: the read must not turn into a size query.
  ScriptedValue from_empty{{"", "full", "full", "full"}};
  EXPECT_THAT(mcom::internal::ReadSizedValue(std::ref(from_empty)), HasValue(Bytes("full")));

  auto failing = [](void*, size_t, size_t*) {
    return std::make_error_code(std::errc::permission_denied);
  };
  EXPECT_THAT(mcom::internal::ReadSizedValue(failing), FailedWith(std::errc::permission_denied));
}

TEST(ExtendedAttributes, ReadsAreWholeWhileTheAttributeChanges) {
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("file", "data");
  const std::string small = "s";
  const std::string large(2000, 'L');
  ASSERT_EQ(::setxattr(file.c_str(), "user.changing", small.data(), small.size(), 0), 0);

  std::atomic<bool> done = false;
  std::thread writer([&] {
    for (int round = 0; !done; ++round) {
      const std::string& value = round % 2 ? large : small;
      (void)::setxattr(file.c_str(), "user.changing", value.data(), value.size(), 0);
    }
  });
  int failures = 0;
  for (int read = 0; read < 2000; ++read) {
    auto value = mcom::ReadExtendedAttribute(file, "changing");
    if (!value || (*value != Bytes(small) && *value != Bytes(large))) ++failures;
  }
  done = true;
  writer.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
