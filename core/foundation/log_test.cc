#include "core/foundation/log.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <latch>
#include <limits>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using mcom::log::Argument;
using mcom::log::Level;
using mcom::log::Render;

struct RenderCase {
  const char* format;
  std::string rendered;
  std::string expected;
};

// Renders at the call site, so that each row can pass arguments of its own types.
#define RENDERS(expected, format, ...) \
  RenderCase { format, Render(format, {__VA_ARGS__}), expected }

void ExpectRenders(const std::vector<RenderCase>& cases) {
  for (const RenderCase& c : cases) {
    EXPECT_EQ(c.rendered, c.expected) << "format: \"" << c.format << "\"";
  }
}

enum class Color { kRed = 3 };

TEST(LogRender, Conversions) {
  int local = 0;
  ExpectRenders({
      RENDERS("-5|7|42", "%d|%i|%u", -5, 7, 42u),
      RENDERS("   42|42   |00042|+42| 42|007", "%5d|%-5d|%05d|%+d|% d|%.3d", 42, 42, 42, 42, 42, 7),
      RENDERS("ff|FF|0xff|377|0377", "%x|%X|%#x|%o|%#o", 255, 255, 255, 255, 255),
      RENDERS("A|\xC3\xA9|  Z", "%c|%c|%3c", 'A', 0xE9, 'Z'),
      RENDERS("abc|       abc|abc   |ab", "%s|%10s|%-6s|%.2s", "abc", "abc", "abc", "abc"),
      RENDERS("abc|   7|7   |", "%.*s|%*d|%*d|", 3, "abcdef", 4, 7, -4, 7),
      RENDERS("object", "%@", std::string("object")),
      RENDERS("1.500000|1.50|1.500000e+00|1.5|  2.5", "%f|%.2f|%e|%g|%5.1f", 1.5, 1.5, 1.5, 1.5,
              2.5),
      RENDERS("0x1234|0x0", "%p|%p", reinterpret_cast<const void*>(0x1234),
              static_cast<const void*>(nullptr)),
      RENDERS("100% sure", "%d%% sure", 100),
      RENDERS("1 2 3 4 5 6 7 8 9 2.500000", "%ld %lld %zu %hhd %jd %td %qd %lu %hu %Lf", 1, 2, 3u,
              4, 5, 6, 7, 8ul, 9, 2.5L),
      RENDERS("1,234", "%'d,%d", 1, 234),  // grouping depends on the locale: not applied
      // The argument's own type decides how it is read: a length modifier never cuts it.
      RENDERS("18446744073709551615|100000000", "%d|%hx", UINT64_MAX, uint64_t{1} << 32),
      RENDERS("/Volumes/Backup|3|1|A|65", "%s|%d|%d|%c|%d", FilePath("/Volumes/Backup"),
              Color::kRed, true, 'A', 'A'),
      RENDERS("(null)", "%s", static_cast<const char*>(nullptr)),
  });
  EXPECT_THAT(Render("%p", {static_cast<const void*>(&local)}), testing::StartsWith("0x"));
}

TEST(LogRender, NegativeValuesShownUnsignedTakeTheWidthOfTheirModifier) {
  ExpectRenders({
      RENDERS("ff|ffff|ffffffff|ffffffffffffffff", "%hhx|%hx|%x|%lx", -1, -1, -1, -1),
      RENDERS("4294967295|37777777777", "%u|%o", -1, -1),
      // Too negative for 32 bits: all 64 are shown rather than a wrong value.
      RENDERS("ffffff0000000000", "%x", -(int64_t{1} << 40)),
  });
}

// Puts the process in a zone five and a half hours east of universal time, so that a time
// rendered in local time shows.
class ScopedTimeZone {
 public:
  ScopedTimeZone() {
    const char* previous = std::getenv("TZ");
    if (previous != nullptr) previous_ = previous;
    ::setenv("TZ", "XYZ-05:30", 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

TEST(LogRender, Annotations) {
  // Times are universal whatever the local zone.
  ScopedTimeZone zone;
  ExpectRenders({
      RENDERS("disk1 disk1", "%{public}s %{public}@", "disk1", "disk1"),
      RENDERS("<private> <private> <private>", "%{private}s %{sensitive}d %{public, private}@",
              "secret", 5, "secret"),
      RENDERS("true false YES NO", "%{bool}d %{bool}d %{BOOL}d %{BOOL}d", true, 0, 1, false),
      RENDERS("[2: No such file or directory] [13: Permission denied]",
              "%{darwin.errno}d %{errno}d", 2, 13),
      RENDERS("2026-12-06 16:45:33+0000 1970-01-01 00:00:00+0000", "%{time_t}ld %{time_t}d",
              int64_t{1796575533}, 0),
      RENDERS("[9: Killed] [15: Terminated]", "%{darwin.signal}d %{darwin.signal}d", 9, SIGTERM),
      RENDERS("true|NO|[1: Operation not permitted]",
              "%{public, bool}d|%{ public , BOOL }d|%{errno,public}d", 7, 0, 1),
      RENDERS("x 5", "%{mask.hash}s %{uuid_t, public}d", "x", 5),
      RENDERS("true |  [2: No such file or directory]", "%{bool}-5d|%{errno}32d", 1, 2),
      // Annotations that read numbers leave other values as they are.
      RENDERS("yes soon 1099511627776 2.500000", "%{bool}s %{time_t}ld %{darwin.errno}d %{bool}f",
              "yes", "soon", int64_t{1} << 40, 2.5),
  });
}

TEST(LogRender, FormatStringsOfTheSystem) {
  ExpectRenders({
      RENDERS("removefile recursive failed for /tmp/.a1B2c3: [39: Directory not empty]",
              "removefile recursive failed for %s: %{darwin.errno}d", "/tmp/.a1B2c3", ENOTEMPTY),
      RENDERS("launched. version: 1.4.2 (142), timestamp: 2026-12-06 16:45:33+0000, ppid: 1, "
              "euid/egid: 0:0",
              "launched. version: %{public}@ (%{public}@), timestamp: %{time_t}ld, ppid: %d, "
              "euid/egid: %d:%d",
              std::string("1.4.2"), std::string("142"), int64_t{1796575533}, 1, 0u, 0u),
      RENDERS("full disk access: true", "full disk access: %{bool}d", true),
      RENDERS("replicate disk1 (Macintosh HD - Data) -> disk5",
              "replicate %{public}s (%{public}s) -> %{public}s", "disk1", "Macintosh HD - Data",
              "disk5"),
      RENDERS("error -536870212 (0xe00002bc): general error", "error %d (0x%x): %s", -536870212,
              -536870212, "general error"),
      RENDERS("found 2 helper instances", "found %lu helper instances", size_t{2}),
      RENDERS("recovery BaseSystem version: not found", "recovery BaseSystem version: %{public}s",
              "not found"),
  });
}

TEST(LogRender, MismatchedArgumentsRenderTheirOwnValue) {
  ExpectRenders({
      RENDERS("42|-1.5|0.1|18446744073709551615", "%s|%s|%@|%s", 42, -1.5, 0.1, UINT64_MAX),
      RENDERS("abc|   ab|x|str|text", "%d|%5d|%f|%c|%p", "abc", "ab", "x", "str", "text"),
      RENDERS("2.5|3.000000|3.000000e+00|inf", "%d|%f|%.6e|%x", 2.5, 3, uint64_t{3}, INFINITY),
      RENDERS("16|0x10|0x10|0xff", "%d|%s|%@|%p", reinterpret_cast<const void*>(0x10),
              reinterpret_cast<const void*>(0x10), reinterpret_cast<const void*>(0x10), 255),
  });
}

TEST(LogRender, MissingExtraAndMalformed) {
  ExpectRenders({
      RENDERS("a and <missing>", "%s and %d", "a"),
      RENDERS("<missing>|<missing>", "%d|%s"),
      RENDERS("<missing> <missing>", "%*d %.*s", 5),
      RENDERS("1", "%d", 1, 2, 3),
      RENDERS("100%", "100%"),
      RENDERS("%", "%"),
      RENDERS("%5", "%5", 1),
      RENDERS("a %{public", "a %{public", "x"),
      RENDERS("a %{public}", "a %{public}", "x"),
      RENDERS("%k 1", "%k %d", 1),
      RENDERS("%n is never written to", "%n is never written to", 1),
      RENDERS("", "", 1),
  });
  EXPECT_EQ(Render(nullptr, {1}), "");
  // Absurd widths are clamped rather than filling memory.
  EXPECT_EQ(Render("%999999999999d", {1}).size(), 1024u);
  EXPECT_EQ(Render("%.999999999999f", {1.0}).size(), 1026u);
}

TEST(LogArgument, ConversionsBetweenKindsAreDefined) {
  EXPECT_EQ(Argument(1e300).as_signed(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Argument(-1e300).as_signed(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Argument(std::nan("")).as_signed(), 0);
  EXPECT_EQ(Argument(-1.0).as_unsigned(), 0u);
  EXPECT_EQ(Argument(1e300).as_unsigned(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(Argument(-3).as_unsigned(), static_cast<uint64_t>(-3));
  EXPECT_EQ(Argument(7u).as_double(), 7.0);
  EXPECT_EQ(Argument("12").as_signed(), 0);
  EXPECT_EQ(Argument(-12).as_string(), "-12");
  EXPECT_EQ(Argument(0.25).as_string(), "0.25");
}

// ---- Writing ----

const std::regex& RecordPattern() {
  // time, host, process[pid], (image), <level>: message
  static const std::regex pattern(
      R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{6}\+0000 localhost ([^\[ ]+)\[(\d+)\] \(([^)]*)\) <(\w+)>: (.*))");
  return pattern;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string SystemLog() {
  return testing::TemporaryFolder::ReadFile(mcom::SystemPath("/private/var/log/system.log"));
}

// A machine root with an empty log folder.
class LogWrite : public testing::Test {
 protected:
  LogWrite() { root_.WriteFile("private/var/log/.keep", ""); }
  testing::TemporaryMachineRoot root_;
};

TEST_F(LogWrite, WritesOneRecordLineWithEveryFieldAndNamesEveryLevel) {
  ScopedTimeZone zone;
  mcom::log::Error("replicate %{public}s -> %{public}s", "disk1", "disk5");
  const std::vector<std::string> lines = Lines(SystemLog());
  ASSERT_EQ(lines.size(), 1u);
  std::smatch fields;
  ASSERT_TRUE(std::regex_match(lines[0], fields, RecordPattern())) << lines[0];
  const std::string image = testing::TestBinary();
  EXPECT_EQ(fields[2], image.substr(image.rfind('/') + 1));
  EXPECT_EQ(fields[3], std::to_string(::getpid()));
  EXPECT_EQ(fields[4], image);
  EXPECT_EQ(fields[5], "Error");
  EXPECT_EQ(fields[6], "replicate disk1 -> disk5");

  // The time is universal time, whatever zone the process is in.
  struct tm parts {};
  ASSERT_NE(::strptime(fields[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &parts), nullptr);
  EXPECT_LT(std::abs(::timegm(&parts) - ::time(nullptr)), 1800) << fields[1];

  // Every level has its name, and each record is appended.
  mcom::log::Default("a");
  mcom::log::Info("b");
  mcom::log::Debug("c");
  mcom::log::Error("d");
  mcom::log::Write(Level::kFault, "e", {});
  std::vector<std::string> levels;
  for (const std::string& line : Lines(SystemLog())) {
    std::smatch record;
    ASSERT_TRUE(std::regex_match(line, record, RecordPattern())) << line;
    levels.push_back(record[5].str() + ":" + record[6].str());
  }
  EXPECT_THAT(levels, testing::ElementsAre("Error:replicate disk1 -> disk5", "Default:a", "Info:b",
                                           "Debug:c", "Error:d", "Fault:e"));
}

TEST_F(LogWrite, LineBreaksContinueOnIndentedLines) {
  mcom::log::Default("%s", "first\nsecond\r\nthird\rfourth\n\n");
  mcom::log::Default("next");
  const std::vector<std::string> lines = Lines(SystemLog());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_THAT(lines[0], testing::EndsWith("<Default>: first"));
  EXPECT_EQ(lines[1], "\tsecond");
  EXPECT_EQ(lines[2], "\tthird");
  EXPECT_EQ(lines[3], "\tfourth");
  EXPECT_THAT(lines[4], testing::EndsWith("<Default>: next"));
}

TEST_F(LogWrite, FollowsTheMachineRootAndKeepsErrno) {
  testing::TemporaryFolder other;
  other.WriteFile("private/var/log/.keep", "");
  mcom::log::Default("in the first root");
  mcom::SetSystemRoot(other.path());
  errno = EACCES;
  mcom::log::Default("in the second root");
  EXPECT_EQ(errno, EACCES);
  mcom::SetSystemRoot(root_.path());
  EXPECT_THAT(SystemLog(), testing::HasSubstr("in the first root"));
  EXPECT_THAT(SystemLog(), testing::Not(testing::HasSubstr("second")));
  EXPECT_THAT(testing::TemporaryFolder::ReadFile(other.Join("private/var/log/system.log")),
              testing::EndsWith("<Default>: in the second root\n"));
}

TEST(LogWriteWithoutFolder, DropsTheMessageAndCreatesNothing) {
  testing::TemporaryMachineRoot root;
  errno = 0;
  mcom::log::Error("nowhere to go");
  EXPECT_EQ(errno, 0);
  struct stat status;
  EXPECT_NE(::lstat(root.Join("private").c_str(), &status), 0);
}

TEST_F(LogWrite, AFifoInPlaceOfTheLogDoesNotBlock) {
  ASSERT_EQ(::mkfifo(mcom::SystemPath("/private/var/log/system.log").c_str(), 0644), 0);
  mcom::log::Error("nobody reads this");  // returns at once: no reader, no write
}

TEST_F(LogWrite, MirrorsToStandardErrorWhenAsked) {
  testing::internal::CaptureStderr();
  mcom::log::Default("quiet");
  mcom::log::SetMirrorToStandardError(true);
  mcom::log::Default("loud %d", 1);
  mcom::log::SetMirrorToStandardError(false);
  const std::vector<std::string> mirrored = Lines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(mirrored.size(), 1u);
  EXPECT_THAT(mirrored[0], testing::EndsWith("<Default>: loud 1"));
  EXPECT_EQ(Lines(SystemLog()).back(), mirrored[0]);
}

// Messages long enough that a writer which split its lines would be caught mixing them.
const std::string& Payload() {
  static const std::string payload(3000, 'x');
  return payload;
}

void WriteNumberedLines(int writer, int count) {
  for (int i = 0; i < count; ++i) {
    mcom::log::Default("writer %d line %d %s", writer, i, Payload());
  }
}

// Every line is a whole record, and each writer's lines are all there exactly once.
void ExpectIntactLines(const std::string& log, int writers, int count) {
  const std::regex message(R"(writer (\d+) line (\d+) (x+))");
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : Lines(log)) {
    std::smatch fields, parts;
    ASSERT_TRUE(std::regex_match(line, fields, RecordPattern())) << line.substr(0, 200);
    const std::string text = fields[6];
    ASSERT_TRUE(std::regex_match(text, parts, message)) << text.substr(0, 200);
    EXPECT_EQ(parts[3].length(), static_cast<long>(Payload().size()));
    EXPECT_TRUE(seen.emplace(std::stoi(parts[1]), std::stoi(parts[2])).second);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(writers * count));
}

TEST_F(LogWrite, ConcurrentThreadsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kCount = 200;
  // All start at once, so that their writes really overlap.
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&start, t] {
      start.arrive_and_wait();
      WriteNumberedLines(t, kCount);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ExpectIntactLines(SystemLog(), kThreads, kCount);
}

// Starts writing once descriptor 3, the start gate, reaches its end.
DORVANE_TEST_CHILD(log_numbered_lines) {
  char byte;
  while (::read(3, &byte, 1) != 0 && errno == EINTR) {
  }
  mcom::SetSystemRoot(FilePath(arguments.at(0)));
  WriteNumberedLines(std::stoi(arguments.at(1)), std::stoi(arguments.at(2)));
  return 0;
}

TEST_F(LogWrite, ConcurrentProcessesWriteWholeLines) {
  constexpr int kProcesses = 4;
  constexpr int kCount = 200;
  // The children wait on a pipe until every one of them runs; closing its write end lets
  // them all go at once, so that their writes really overlap.
  auto gate = mcom::CreatePipe();
  ASSERT_TRUE(gate.has_value());
  mcom::FileActions actions;
  ASSERT_FALSE(actions.AddDuplicate(gate->read.get(), 3));
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const mcom::Result<pid_t> pid = mcom::SpawnProcess(
        testing::TestBinary().c_str(),
        testing::ChildArguments("log_numbered_lines",
                                {root_.path().string(), std::to_string(p), std::to_string(kCount)}),
        actions);
    if (pid) children.push_back(*pid);
  }
  EXPECT_EQ(gate->write.Close(), std::error_code());
  for (pid_t pid : children) EXPECT_FALSE(mcom::WaitForProcess(pid));
  ASSERT_EQ(children.size(), static_cast<size_t>(kProcesses));
  ExpectIntactLines(SystemLog(), kProcesses, kCount);
}

}  // namespace
