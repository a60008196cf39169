#include "platform/posix/scoped_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace mcom {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(ScopedFD, ClosesOnceWhateverCloseReports) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const int number = ends[0];
  { ScopedFD read_end(ends[0]); }
  EXPECT_FALSE(IsOpen(number));

  ScopedFD write_end(ends[1]);
  ScopedFD copy = DuplicateFD(write_end.get());
  ASSERT_TRUE(copy.is_valid());
  EXPECT_NE(::fcntl(copy.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_FALSE(write_end.Close());
  EXPECT_FALSE(write_end.is_valid());
  EXPECT_FALSE(write_end.Close());  // an empty owner closes fine

  // A number closed behind the owner's back: the failure is reported and the owner lets go.
  ::close(copy.get());
  EXPECT_EQ(copy.Close(), std::error_code(EBADF, std::generic_category()));
  EXPECT_FALSE(copy.is_valid());
  EXPECT_FALSE(DuplicateFD(-1).is_valid());
}

}  // namespace
}  // namespace mcom
