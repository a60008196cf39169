#include "core/foundation/io_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::Succeeded;

std::vector<std::string> AllLines(mcom::IOStream& stream) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(IOStream, ReadsLinesAcrossRefills) {
  testing::TemporaryFolder folder;
  // A byte 0xff at the start of each refill must read as a byte, not as end of file.
  std::string long_line(5000, 'x');
  long_line[0] = '\xff';
  long_line[4096 - 7] = '\xff';  // the first byte of the second 4096-byte block
  const std::string contents = "first\n\n" + long_line + "\nlast without break";
  mcom::File file = mcom::Open(folder.WriteFile("lines", contents), mcom::kOpenRead).value();
  mcom::IOStream stream(std::move(file));
  EXPECT_EQ(AllLines(stream),
            (std::vector<std::string>{"first", "", long_line, "last without break"}));
  EXPECT_TRUE(stream.eof());
}

TEST(IOStream, AnEmptyFileOrAFailedReadEndsTheStreamAtOnce) {
  testing::TemporaryFolder folder;
  mcom::IOStream empty(mcom::Open(folder.WriteFile("empty", ""), mcom::kOpenRead).value());
  std::string line;
  EXPECT_FALSE(std::getline(empty, line));
  EXPECT_TRUE(empty.eof());
  // A write-only descriptor fails every read (EBADF).
  mcom::IOStream failing(
      mcom::Open(folder.WriteFile("data", "some data\n"), mcom::kOpenWrite).value());
  EXPECT_FALSE(std::getline(failing, line));
}

TEST(IOStream, GivesLinesAsSoonAsTheyArrive) {
  mcom::Pipe pipe = mcom::CreatePipe().value();
  const int writer = pipe.write.get();
  mcom::IOStream stream(std::move(pipe.read));
  // Everything written so far is less than the buffer; a stream that waited for a full
  // buffer would block here for good.
  ASSERT_THAT(pipe.write.WriteAll("one\ntw", 6), Succeeded());
  std::string line;
  ASSERT_TRUE(std::getline(stream, line));
  EXPECT_EQ(line, "one");
  ASSERT_THAT(pipe.write.WriteAll("o\nthr", 5), Succeeded());
  ASSERT_TRUE(std::getline(stream, line));
  EXPECT_EQ(line, "two");
  ASSERT_THAT(pipe.write.WriteAll("ee", 2), Succeeded());
  ASSERT_EQ(writer, pipe.write.get());
  pipe.write = mcom::File();
  ASSERT_TRUE(std::getline(stream, line));
  EXPECT_EQ(line, "three");
  EXPECT_FALSE(std::getline(stream, line));
}

TEST(IOStream, DestroyingTheStreamClosesItsDescriptor) {
  mcom::Pipe pipe = mcom::CreatePipe().value();
  const int reader = pipe.read.get();
  { mcom::IOStream stream(std::move(pipe.read)); }
  EXPECT_EQ(::fcntl(reader, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
