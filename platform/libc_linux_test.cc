#include "platform/libc.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(ExecutablePathOfProcess, ReportsOwnExecutableAndRefusesBadIdsAndExitedProcesses) {
  std::string path;
  ASSERT_FALSE(platform::ExecutablePathOfProcess(getpid(), &path));
  EXPECT_NE(path.find("platform_test"), std::string::npos) << path;
  EXPECT_EQ(platform::ExecutablePathOfProcess(0, &path), std::errc::invalid_argument);
  EXPECT_EQ(platform::ExecutablePathOfProcess(-4, &path), std::errc::invalid_argument);

  // An exited process is no such process.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(platform::ExecutablePathOfProcess(child, &path), std::errc::no_such_process);
}

TEST(ChildProcesses, ListsLiveChildren) {
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  if (child == 0) {
    char byte;
    close(hold[1]);
    (void)read(hold[0], &byte, 1);
    _exit(0);
  }
  close(hold[0]);
  std::vector<pid_t> children;
  ASSERT_FALSE(platform::ChildProcesses(getpid(), &children));
  EXPECT_NE(std::find(children.begin(), children.end(), child), children.end());
  close(hold[1]);
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace
