#include "core/foundation/tool_run.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"
#include "platform/libc.h"
#include "tests/support/child_process.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

bool WriteFully(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// `count` bytes of a repeating pattern, so that lost or reordered chunks show.
std::string Pattern(size_t count, char first) {
  std::string bytes(count, ' ');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(first + i % 23);
  return bytes;
}

// Generous bound for waits on the test itself, only so that a fault cannot hang the run.
constexpr auto kPatience = std::chrono::seconds(120);

}  // namespace

// A tool that follows a script given as arguments, one instruction each:
//   o<text> / e<text>   write text to standard output / standard error
//   O<n> / E<n>         write n pattern bytes to standard output / standard error
//   w<path>             wait until the file at path exists (gives up with status 4)
//   k                   kill itself with SIGKILL
//   x<n>                exit with status n
// A failed write exits with status 3.
DORVANE_TEST_CHILD(tool_script) {
  for (const std::string& step : arguments) {
    const std::string rest = step.substr(1);
    switch (step.at(0)) {
      case 'o':
      case 'e':
        if (!WriteFully(step[0] == 'o' ? 1 : 2, rest.data(), rest.size())) return 3;
        break;
      case 'O':
      case 'E': {
        const std::string bytes = Pattern(std::stoul(rest), step[0] == 'O' ? 'a' : 'A');
        if (!WriteFully(step[0] == 'O' ? 1 : 2, bytes.data(), bytes.size())) return 3;
        break;
      }
      case 'w': {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (::access(rest.c_str(), F_OK) != 0) {
          if (std::chrono::steady_clock::now() > deadline) return 4;
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        break;
      }
      case 'k':
        ::kill(::getpid(), SIGKILL);
        break;
      case 'x':
        return std::stoi(rest);
    }
  }
  return 0;
}

// Writes lines to standard output until a write fails.
DORVANE_TEST_CHILD(tool_write_until_closed) {
  while (WriteFully(STDOUT_FILENO, "y\n", 2)) {
  }
  return 0;
}

namespace {

using mcom::FilePath;
using mcom::ToolRun;
using testing::FailedWith;
using testing::FailedWithValue;
using testing::IsEmpty;
using testing::Succeeded;

std::string Text(const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::vector<std::string> Script(const std::vector<std::string>& steps) {
  return testing::ChildArguments("tool_script", steps);
}

// The script step that writes `count` pattern bytes to standard output ('O') or error ('E').
std::string Bytes(char stream, size_t count) {
  std::string step(1, stream);
  step += std::to_string(count);
  return step;
}

std::vector<pid_t> ChildrenOfThisProcess() {
  std::vector<pid_t> children;
  EXPECT_THAT(platform::ChildProcesses(::getpid(), &children), Succeeded());
  std::sort(children.begin(), children.end());
  return children;
}

// Every test runs on its own machine root, with the test binary standing in for the tools,
// and must leave no child behind: every child is waited for on every path.
class ToolRunTest : public testing::Test {
 protected:
  void SetUp() override { children_before_ = ChildrenOfThisProcess(); }
  void TearDown() override {
    EXPECT_EQ(ChildrenOfThisProcess(), children_before_) << "a child was left unwaited";
  }

  void InstallTool(const std::string& mac_path) {
    const FilePath path = mcom::SystemPath(mac_path);
    ASSERT_THAT(mcom::MakePath(path.Parent()), Succeeded());
    ASSERT_EQ(::symlink(testing::TestBinary().c_str(), path.c_str()), 0) << path.string();
  }

  testing::TemporaryMachineRoot root_;
  std::vector<pid_t> children_before_;
};

TEST_F(ToolRunTest, CapturesStandardErrorWholeAndLeavesStandardOutputInherited) {
  InstallTool("/usr/bin/hdiutil");
  // gtest's capture redirects descriptor 1 itself, so the child writes into it too.
  testing::internal::CaptureStdout();
  const auto run = mcom::RunCapturingStandardError(
      "/usr/bin/hdiutil", Script({"oto the caller\n", "ehdiutil: create failed\n", "x1"}),
      mcom::ErrorReadFailure::kDiscardText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "to the caller\n");
  ASSERT_THAT(run, Succeeded());
  EXPECT_THAT(run->exit_status, FailedWithValue(1));
  EXPECT_EQ(Text(run->standard_error), "hdiutil: create failed\n");
  EXPECT_THAT(run->standard_output, IsEmpty());
  EXPECT_THAT(run->output_read_error, Succeeded());

  // Large error text comes whole.
  const size_t size = 1048576 + 4099;
  const auto large = mcom::RunCapturingStandardError("/usr/bin/hdiutil", Script({Bytes('E', size)}),
                                                     mcom::ErrorReadFailure::kKeepText);
  ASSERT_THAT(large, Succeeded());
  EXPECT_THAT(large->exit_status, Succeeded());
  EXPECT_EQ(Text(large->standard_error), Pattern(size, 'A'));
}

TEST_F(ToolRunTest, ReportsAMissingToolWithTheStartCallsCode) {
  const std::vector<std::string> arguments = {"attach"};
  EXPECT_THAT(mcom::RunCapturingStandardError("/usr/bin/hdiutil", arguments,
                                              mcom::ErrorReadFailure::kKeepText),
              FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(mcom::RunCapturingBothStreams("/usr/bin/hdiutil", arguments),
              FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(mcom::LineReadingTool::Start("/usr/sbin/asr", arguments),
              FailedWith(std::errc::no_such_file_or_directory));
}

TEST_F(ToolRunTest, ASilentToolLeavesEmptyText) {
  InstallTool("/usr/bin/hdiutil");
  const auto error_only = mcom::RunCapturingStandardError("/usr/bin/hdiutil", Script({"x2"}),
                                                          mcom::ErrorReadFailure::kKeepText);
  ASSERT_THAT(error_only, Succeeded());
  EXPECT_THAT(error_only->exit_status, FailedWithValue(2));
  EXPECT_THAT(error_only->standard_error, IsEmpty());

  const auto both = mcom::RunCapturingBothStreams("/usr/bin/hdiutil", Script({}));
  ASSERT_THAT(both, Succeeded());
  EXPECT_THAT(both->exit_status, Succeeded());
  EXPECT_THAT(both->standard_output, IsEmpty());
  EXPECT_THAT(both->standard_error, IsEmpty());
  EXPECT_THAT(both->output_read_error, Succeeded());
}

TEST_F(ToolRunTest, KeepsWhatAKilledToolWroteAndReportsTheSignal) {
  InstallTool("/usr/bin/hdiutil");
  const auto run =
      mcom::RunCapturingBothStreams("/usr/bin/hdiutil", Script({"opartial", "elast words", "k"}));
  ASSERT_THAT(run, Succeeded());
  EXPECT_THAT(run->exit_status, FailedWithValue(SIGKILL));
  EXPECT_EQ(Text(run->standard_output), "partial");
  EXPECT_EQ(Text(run->standard_error), "last words");
}

TEST_F(ToolRunTest, ReadsBothStreamsWithoutBlockingOnEither) {
  InstallTool("/usr/bin/hdiutil");
  // Far more than a pipe holds goes to standard error before standard output says anything,
  // and then the other way round: reading only one stream at a time would block forever.
  const size_t big = 1048576;
  const auto errors_first =
      mcom::RunCapturingBothStreams("/usr/bin/hdiutil", Script({Bytes('E', big), "o<plist/>\n"}));
  ASSERT_THAT(errors_first, Succeeded());
  EXPECT_THAT(errors_first->exit_status, Succeeded());
  EXPECT_EQ(Text(errors_first->standard_output), "<plist/>\n");
  EXPECT_EQ(Text(errors_first->standard_error), Pattern(big, 'A'));

  const auto output_first = mcom::RunCapturingBothStreams(
      "/usr/bin/hdiutil", Script({Bytes('O', big), Bytes('E', big), Bytes('O', big)}));
  ASSERT_THAT(output_first, Succeeded());
  EXPECT_EQ(Text(output_first->standard_output), Pattern(big, 'a') + Pattern(big, 'a'));
  EXPECT_EQ(Text(output_first->standard_error), Pattern(big, 'A'));
}

TEST_F(ToolRunTest, KeepsInterleavedOutputApartAndInOrder) {
  InstallTool("/usr/bin/hdiutil");
  std::vector<std::string> steps;
  std::string expected_output;
  std::string expected_error;
  for (int i = 0; i < 300; ++i) {
    steps.push_back("oline " + std::to_string(i) + "\n");
    steps.push_back("enote " + std::to_string(i) + "\n");
    expected_output += "line " + std::to_string(i) + "\n";
    expected_error += "note " + std::to_string(i) + "\n";
  }
  steps.push_back("x5");
  const auto run = mcom::RunCapturingBothStreams("/usr/bin/hdiutil", Script(steps));
  ASSERT_THAT(run, Succeeded());
  EXPECT_THAT(run->exit_status, FailedWithValue(5));
  EXPECT_EQ(Text(run->standard_output), expected_output);
  EXPECT_EQ(Text(run->standard_error), expected_error);
}

TEST_F(ToolRunTest, ReadsLinesAsTheToolWritesThem) {
  InstallTool("/usr/sbin/asr");
  const FilePath go_on = root_.Join("go-on");
  // The tool writes its second part only after the test has seen the first line, so the
  // line must arrive while the tool is still running.
  auto tool = mcom::LineReadingTool::Start(
      "/usr/sbin/asr",
      Script({"oXSTA\tstart\n", "w" + go_on.string(), "oPSTT\t1\t2\t\n\n\tsome text\nlast", "x7"}));
  ASSERT_THAT(tool, Succeeded());
  EXPECT_EQ(tool->ReadLine(), "XSTA\tstart");
  root_.WriteFile("go-on", "");
  EXPECT_EQ(tool->ReadLine(), "PSTT\t1\t2\t");
  EXPECT_EQ(tool->ReadLine(), "");
  EXPECT_EQ(tool->ReadLine(), "\tsome text");
  EXPECT_EQ(tool->ReadLine(), "last") << "a last line without a line break still counts";
  EXPECT_EQ(tool->ReadLine(), std::nullopt);
  EXPECT_THAT(tool->Wait(), FailedWithValue(7));
  EXPECT_THAT(tool->Wait(), FailedWithValue(ECHILD)) << "the tool was already waited for";
  EXPECT_EQ(tool->ReadLine(), std::nullopt);
}

TEST_F(ToolRunTest, ALineReadingToolLeftEarlyIsStoppedAndWaitedFor) {
  InstallTool("/usr/sbin/asr");
  {
    // This tool never stops on its own; closing its output makes its next write fail.
    auto endless = mcom::LineReadingTool::Start("/usr/sbin/asr",
                                                testing::ChildArguments("tool_write_until_closed"));
    ASSERT_THAT(endless, Succeeded());
    EXPECT_EQ(endless->ReadLine(), "y");
  }
  {
    auto unread = mcom::LineReadingTool::Start("/usr/sbin/asr", Script({"onever read\n"}));
    ASSERT_THAT(unread, Succeeded());
  }
  // Moving a tool hands its child over; assigning over a running tool finishes that one.
  auto first = mcom::LineReadingTool::Start("/usr/sbin/asr",
                                            testing::ChildArguments("tool_write_until_closed"));
  auto second = mcom::LineReadingTool::Start("/usr/sbin/asr", Script({"osecond\n"}));
  ASSERT_THAT(first, Succeeded());
  ASSERT_THAT(second, Succeeded());
  mcom::LineReadingTool moved(std::move(*first));
  EXPECT_EQ(first->ReadLine(), std::nullopt);
  EXPECT_EQ(moved.ReadLine(), "y");
  moved = std::move(*second);
  EXPECT_EQ(moved.ReadLine(), "second");
  EXPECT_THAT(moved.Wait(), Succeeded());
}

TEST_F(ToolRunTest, ShellCommandQuotesOnlyWhatTheShellWouldChange) {
  const FilePath previous = mcom::SystemRoot();
  mcom::ScopeExit restore([&] { mcom::SetSystemRoot(previous); });

  mcom::SetSystemRoot(FilePath("/"));
  EXPECT_EQ(mcom::ShellCommand("/usr/bin/hdiutil", {"detach", "-force", "disk5"}),
            "/usr/bin/hdiutil detach -force disk5");
  EXPECT_EQ(
      mcom::ShellCommand("/usr/bin/tool", {"", "a b", "it's", "$HOME", "*", "~", "a=b,c:d@e%f+g"}),
      "/usr/bin/tool '' 'a b' 'it'\\''s' '$HOME' '*' '~' a=b,c:d@e%f+g");

  mcom::SetSystemRoot(FilePath("/sim/it's a mac"));
  EXPECT_EQ(mcom::ShellCommand("/usr/bin/hdiutil", {"detach", "-force", "disk5"}),
            "'/sim/it'\\''s a mac/usr/bin/hdiutil' detach -force disk5");
}

TEST_F(ToolRunTest, ToolTextDropsOnlyTrailingWhiteSpace) {
  const std::string text = " hdiutil: failed - busy\n\t ";
  EXPECT_EQ(mcom::ToolText(std::vector<char>(text.begin(), text.end())), " hdiutil: failed - busy");
  EXPECT_EQ(mcom::ToolText({}), "");
}

}  // namespace
