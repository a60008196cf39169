#include "platform/posix/process_instance.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace mcom {
namespace {

TEST(ProcessInstance, TellsLiveProcessesApartAndGoneOnesFromLiveOnes) {
  // A process started after this one started later, and keeps its start time.
  const std::optional<uint64_t> mine = ProcessStartTime(::getpid());
  ASSERT_TRUE(mine.has_value());
  EXPECT_EQ(ProcessStartTime(::getpid()), mine);
  EXPECT_EQ(CurrentPidVersion(::getpid()), PidVersion(*mine));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::optional<uint64_t> childs = ProcessStartTime(child);
  ASSERT_TRUE(childs.has_value());
  EXPECT_GE(*childs, *mine);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(ProcessStartTime(child), std::nullopt);
  EXPECT_EQ(CurrentPidVersion(child), 0u);
  EXPECT_EQ(ProcessStartTime(0), std::nullopt);
  EXPECT_EQ(ProcessStartTime(-1), std::nullopt);
  // 0 is never a version.
  EXPECT_EQ(PidVersion(uint64_t{1} << 32), 1u);
  EXPECT_EQ(PidVersion(0x1234567890), 0x34567890u);
}

}  // namespace
}  // namespace mcom
