#include "core/foundation/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/foundation/error.h"
#include "core/foundation/file.h"
#include "tests/support/child_process.h"
#include "tests/support/error_matchers.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

extern char** environ;

DORVANE_TEST_CHILD(process_exit_with) { return std::atoi(arguments.at(0).c_str()); }

DORVANE_TEST_CHILD(process_kill_self) {
  ::kill(::getpid(), SIGKILL);
  return 0;
}

DORVANE_TEST_CHILD(process_print_environment) {
  for (char** entry = environ; *entry != nullptr; ++entry) std::puts(*entry);
  return 0;
}

// Prints the command line exactly as the kernel passed it: NUL-separated words.
DORVANE_TEST_CHILD(process_print_command_line) {
  std::ifstream command_line("/proc/self/cmdline", std::ios::binary);
  const std::string words((std::istreambuf_iterator<char>(command_line)),
                          std::istreambuf_iterator<char>());
  std::fwrite(words.data(), 1, words.size(), stdout);
  return 0;
}

// Writes "out" to standard output and "err" to standard error, then reports on standard
// output which of the descriptor numbers given as arguments are open in the child.
DORVANE_TEST_CHILD(process_report_descriptors) {
  (void)!::write(STDOUT_FILENO, "out\n", 4);
  (void)!::write(STDERR_FILENO, "err\n", 4);
  for (const std::string& number : arguments) {
    const bool open = ::fcntl(std::atoi(number.c_str()), F_GETFD) != -1;
    std::printf("%s %s\n", number.c_str(), open ? "open" : "closed");
  }
  return 0;
}

namespace {

using mcom::FilePath;
using testing::ErrorIs;
using testing::FailedWith;
using testing::FailedWithValue;
using testing::HasValue;
using testing::Succeeded;
using testing::ThrowsError;

std::vector<std::string> Child(const std::string& name,
                               const std::vector<std::string>& extra = {}) {
  return testing::ChildArguments(name, extra);
}

using testing::ChildRun;
using testing::RunCapturing;

std::error_code RunAndWait(const std::string& program, const std::vector<std::string>& arguments) {
  const mcom::FileActions inherit;
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(program.c_str(), arguments, inherit);
  if (!pid) return pid.error();
  return mcom::WaitForProcess(*pid);
}

TEST(SpawnProcess, ReportsTheCodeOfTheStartCall) {
  testing::TemporaryFolder folder;
  const mcom::FileActions inherit;

  const auto missing = mcom::SpawnProcess(folder.Join("missing").c_str(), {}, inherit);
  EXPECT_THAT(missing, FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_EQ(&missing.error().category(), &std::generic_category());

  const FilePath plain = folder.WriteFile("plain", "#!/bin/sh\nexit 0\n");
  ::chmod(plain.c_str(), 0644);
  EXPECT_THAT(mcom::SpawnProcess(plain.c_str(), {}, inherit),
              FailedWith(std::errc::permission_denied));

  // Without "#!" the kernel does not know how to run the file, and posix_spawn does not
  // fall back to a shell.
  const FilePath script = folder.WriteFile("script", "exit 0\n");
  ::chmod(script.c_str(), 0755);
  EXPECT_THAT(mcom::SpawnProcess(script.c_str(), {}, inherit),
              FailedWith(std::errc::executable_format_error));
}

TEST(SpawnProcess, PassesTheProgramPathAndEveryArgumentUnchanged) {
  const std::string program = testing::TestBinary();
  const std::vector<std::string> arguments =
      Child("process_print_command_line", {"", "two words", "it's", "$HOME", "\xc3\xbc"});
  const ChildRun run = RunCapturing(program, arguments);
  EXPECT_THAT(run.status, Succeeded());
  std::string expected = program + '\0';
  for (const std::string& argument : arguments) expected += argument + '\0';
  EXPECT_EQ(run.output, expected);
}

TEST(SpawnProcess, StartsTheChildWithAnEmptyEnvironment) {
  ASSERT_EQ(::setenv("DORVANE_PROCESS_TEST_MARK", "visible", 1), 0);
  ASSERT_NE(std::getenv("DORVANE_PROCESS_TEST_MARK"), nullptr);
  const ChildRun run = RunCapturing(testing::TestBinary(), Child("process_print_environment"));
  ::unsetenv("DORVANE_PROCESS_TEST_MARK");
  EXPECT_THAT(run.status, Succeeded());
  EXPECT_EQ(run.output, "") << "the child must see no PATH, HOME, locale or anything else";
}

TEST(SpawnProcess, HandsTheChildOnlyTheDuplicatedDescriptors) {
  // A pipe the parent holds while spawning: close-on-exec keeps both ends out of the child,
  // so a reader of that pipe never waits for a child that does not know about it.
  mcom::Pipe unrelated = mcom::CreatePipe().value();
  const std::string read_end = std::to_string(unrelated.read.get());
  const std::string write_end = std::to_string(unrelated.write.get());
  const ChildRun run = RunCapturing(testing::TestBinary(),
                                    Child("process_report_descriptors", {read_end, write_end}));
  EXPECT_THAT(run.status, Succeeded());
  EXPECT_EQ(run.output, "out\n" + read_end + " closed\n" + write_end + " closed\n");
  EXPECT_EQ(run.error, "err\n");
}

// `outcome` failed with `value` in the system category, as the process calls report errno values
// and exit statuses.
template <typename Outcome>
void ExpectSystemCode(const Outcome& outcome, int value) {
  ASSERT_THAT(outcome, FailedWithValue(value));
  EXPECT_EQ(&testing::result_internal::ErrorOf(outcome).category(), &std::system_category());
}

TEST(WaitForProcess, GivesTheExitStatusTheSignalOrTheErrnoInTheSystemCategory) {
  const std::string program = testing::TestBinary();
  EXPECT_THAT(RunAndWait(program, Child("process_exit_with", {"0"})), Succeeded());
  ExpectSystemCode(RunAndWait(program, Child("process_exit_with", {"1"})), 1);
  ExpectSystemCode(RunAndWait(program, Child("process_exit_with", {"255"})), 255);
  ExpectSystemCode(RunAndWait(program, Child("process_kill_self")), SIGKILL);
  ExpectSystemCode(mcom::WaitForProcess(::getpid()), ECHILD);
}

TEST(ExecutablePathOfProcess, FindsTheExecutableOfALiveProcessOnly) {
  EXPECT_THAT(mcom::ExecutablePathOfProcess(::getpid()), HasValue(FilePath(testing::TestBinary())));

  // Once a child is reaped, it is gone.
  const mcom::FileActions inherit;
  const auto child =
      mcom::SpawnProcess(testing::TestBinary().c_str(), Child("process_exit_with", {"0"}), inherit);
  ASSERT_THAT(child, Succeeded());
  ASSERT_THAT(mcom::WaitForProcess(*child), Succeeded());
  ExpectSystemCode(mcom::ExecutablePathOfProcess(*child), ESRCH);
  for (const pid_t pid : {0, -1}) {
    SCOPED_TRACE(pid);
    ExpectSystemCode(mcom::ExecutablePathOfProcess(pid), EINVAL);
  }
}

class RunAndCheckTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_THAT(mcom::MakePath(root_.Join("usr/bin")), Succeeded());
    ASSERT_EQ(::symlink(testing::TestBinary().c_str(), root_.Join("usr/bin/log").c_str()), 0);
  }

  testing::TemporaryMachineRoot root_;
};

TEST_F(RunAndCheckTest, NamesTheProgramAsGivenInItsErrors) {
  EXPECT_NO_THROW(mcom::RunAndCheck("/usr/bin/log", Child("process_exit_with", {"0"})));
  EXPECT_THAT([] { mcom::RunAndCheck("/usr/bin/log", Child("process_exit_with", {"3"})); },
              ThrowsError("/usr/bin/log", "program did exit with error code 3"));
  EXPECT_THAT([] { mcom::RunAndCheck("/usr/bin/log", Child("process_kill_self")); },
              ThrowsError("/usr/bin/log", "program did exit with error code 9"));
  const Error missing = testing::ErrorThrownBy([] { mcom::RunAndCheck("/usr/bin/ditto", {"-c"}); });
  EXPECT_THAT(missing, ErrorIs("/usr/bin/ditto", std::generic_category().message(ENOENT)));
  EXPECT_FALSE(missing.cause());
}

}  // namespace
