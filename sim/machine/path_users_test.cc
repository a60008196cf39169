#include "sim/machine/path_users.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

// Goes into the folder given (as its working directory, or holding a file open there), says
// so on standard output, and waits until its standard input closes or it is killed.
DORVANE_TEST_CHILD(use_folder) {
  if (arguments.size() != 2) return 2;
  if (arguments[0] == "cwd") {
    if (::chdir(arguments[1].c_str()) != 0) return 3;
  } else if (::open((arguments[1] + "/held").c_str(), O_RDONLY | O_CREAT, 0644) < 0) {
    return 3;
  }
  if (::write(1, "r", 1) != 1) return 4;
  ::pause();
  return 0;
}

class PathUsersTest : public ::testing::Test {
 protected:
  PathUsersTest() {
    EXPECT_EQ(::mkdir(folder_.Join("volume").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir(folder_.Join("volume/inner").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir(folder_.Join("volume 2").c_str(), 0755), 0);
  }
  ~PathUsersTest() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      (void)mcom::WaitForProcess(pid);
    }
  }

  // Starts a child that uses `path` in the way `how` says and waits until it does.
  pid_t StartUser(const std::string& how, const mcom::FilePath& path) {
    mcom::Result<mcom::Pipe> pipe = mcom::CreatePipe();
    EXPECT_TRUE(pipe.has_value());
    mcom::FileActions actions;
    actions.AddDuplicate(pipe->write.get(), 1);
    mcom::Result<pid_t> pid =
        mcom::SpawnProcess(::testing::TestBinary().c_str(),
                           ::testing::ChildArguments("use_folder", {how, path.string()}), actions);
    EXPECT_TRUE(pid.has_value());
    children_.push_back(*pid);
    pipe->write.Close();
    char ready = 0;
    EXPECT_EQ(pipe->read.Read(&ready, 1).value(), 1u);
    return *pid;
  }

  ::testing::TemporaryFolder folder_;
  std::vector<pid_t> children_;
};

TEST_F(PathUsersTest, FindsProcessesWorkingOrHoldingFilesInAFolderOrBelowIt) {
  EXPECT_THAT(ProcessesUsingPath(folder_.Join("volume")), IsEmpty());

  const pid_t inside = StartUser("cwd", folder_.Join("volume/inner"));
  const pid_t holder = StartUser("file", folder_.Join("volume"));
  const pid_t elsewhere = StartUser("cwd", folder_.Join("volume 2"));

  const std::vector<pid_t> users = ProcessesUsingPath(folder_.Join("volume"));
  EXPECT_THAT(users, Contains(inside));
  EXPECT_THAT(users, Contains(holder));
  // "volume 2" only shares the first characters of the name.
  EXPECT_THAT(users, Not(Contains(elsewhere)));
  EXPECT_THAT(ProcessesUsingPath(mcom::FilePath(folder_.Join("volume").string() + "/")),
              Contains(inside));
  EXPECT_THAT(ProcessesUsingPath(folder_.Join("volume 2")), Contains(elsewhere));
}

TEST_F(PathUsersTest, NeverCountsTheCallingProcess) {
  const int fd = ::open(folder_.Join("volume").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  EXPECT_THAT(ProcessesUsingPath(folder_.Join("volume")), Not(Contains(::getpid())));
  ::close(fd);
}

}  // namespace
}  // namespace sim
