#include <time.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/foundation/system_path.h"
#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::RunProgram;
using testing::RunTool;
using ::testing::StartsWith;

constexpr const char* kLog = "/usr/bin/log";
constexpr const char* kSystemPredicate =
    R"(eventMessage contains[cd] "halvex" or processImagePath contains[cd] "halvex")";
constexpr const char* kHelperPredicate = R"(process == "com.halvex-software.Dorvane.helper")";
constexpr const char* kHelper =
    "com.halvex-software.Dorvane.helper[77] "
    "(/Library/PrivilegedHelperTools/com.halvex-software.Dorvane.helper)";
constexpr const char* kApp = "Dorvane[4242] (/Applications/Dorvane.app/Contents/MacOS/Dorvane)";
constexpr const char* kOther = "otherd[12] (/usr/libexec/otherd)";

// The log's timestamp of the moment `seconds_ago` seconds before now.
std::string Timestamp(int64_t seconds_ago) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const time_t moment = now.tv_sec - seconds_ago;
  struct tm parts {};
  ::gmtime_r(&moment, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  char fraction[32];
  std::snprintf(fraction, sizeof fraction, ".%06d+0000", static_cast<int>(now.tv_nsec / 1000));
  return text + std::string(fraction);
}

struct Record {
  std::string timestamp;
  std::string text;  // as the log holds it
};

Record MakeRecord(int64_t seconds_ago, const std::string& process, const std::string& level,
                  const std::string& message) {
  const std::string timestamp = Timestamp(seconds_ago);
  return {timestamp, timestamp + " localhost " + process + " <" + level + ">: " + message + "\n"};
}

// A machine whose system log holds records of the last days from the helper, the
// application and another process, at every level, with a line that is no record.
class LogToolTest : public ::testing::Test {
 protected:
  LogToolTest()
      : machine_(testing::MakeTestMachineWithTools(root_.path())),
        two_days_ago_(MakeRecord(2 * 86400, kHelper, "Error", "halvex from two days ago")),
        helper_old_(MakeRecord(45 * 60, kHelper, "Default", "collect logs")),
        helper_(MakeRecord(10 * 60, kHelper, "Error", "failed to collect logs:\n\tno space")),
        app_(MakeRecord(5 * 60, kApp, "Info", "asked the helper")),
        other_(MakeRecord(3 * 60, kOther, "Debug", "HÄLVEX was mentioned")),
        unrelated_(MakeRecord(2 * 60, kOther, "Default", "nothing to see")) {
    std::ofstream log(mcom::SystemPath("/private/var/log/system.log").string(),
                      std::ios::binary | std::ios::trunc);
    log << two_days_ago_.text << helper_old_.text << "a line that is no record\n"
        << helper_.text << app_.text << other_.text << unrelated_.text;
  }

  // The syslog-style line `log show` prints for a record of `process` ("name[pid] (path)").
  static std::string Shown(const Record& record, const std::string& process,
                           const std::string& message) {
    return record.timestamp + "  localhost " + process.substr(0, process.find(" (")) + ": " +
           message;
  }

  // The record lines of `log show` output: those between the column titles and the
  // summary.
  static std::vector<std::string> ShownRecords(const std::string& output) {
    std::vector<std::string> lines = testing::Lines(output);
    std::vector<std::string> records;
    bool inside = false;
    for (const std::string& line : lines) {
      if (line.starts_with("Timestamp ")) {
        inside = true;
      } else if (line.starts_with("-----")) {
        inside = false;
      } else if (inside) {
        records.push_back(line);
      }
    }
    return records;
  }

  ::testing::TemporaryMachineRoot root_;
  Machine machine_;
  Record two_days_ago_, helper_old_, helper_, app_, other_, unrelated_;
};

TEST_F(LogToolTest, ShowsWhatThePredicatesOfTheLogCollectionSelect) {
  testing::ProgramRun run = RunTool(kLog, {"show", "--predicate", kSystemPredicate, "--style",
                                           "syslog", "--info", "--debug", "--last", "1d"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_THAT(run.out, StartsWith("Filtering the log data using \"eventMessage CONTAINS[cd] "
                                  "\"halvex\" OR processImagePath CONTAINS[cd] \"halvex\"\"\n"));
  // The helper by its path, the application and another process by what they said (in
  // another case and with an accent); nothing older than a day; continuation lines kept.
  EXPECT_THAT(ShownRecords(run.out),
              ElementsAre(Shown(helper_old_, kHelper, "collect logs"),
                          Shown(helper_, kHelper, "failed to collect logs:"), "no space",
                          Shown(other_, kOther, "HÄLVEX was mentioned")));
  EXPECT_THAT(run.out, HasSubstr("Log      - Default:          1, Info:                0, "
                                 "Debug:             1, Error:          1, Fault:          0\n"));

  run = RunTool(kLog, {"show", "--predicate", kHelperPredicate, "--style", "syslog", "--info",
                       "--debug", "--last", "1d"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(ShownRecords(run.out),
              ElementsAre(Shown(helper_old_, kHelper, "collect logs"),
                          Shown(helper_, kHelper, "failed to collect logs:"), "no space"));

  // Without a window the whole log; the application's record only with --info.
  run = RunTool(kLog, {"show", "--predicate", R"(process ==[c] "dorvane" or processImagePath
                       endswith ".helper")"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Skipping info and debug messages"));
  EXPECT_THAT(ShownRecords(run.out),
              ElementsAre(Shown(two_days_ago_, kHelper, "halvex from two days ago"),
                          Shown(helper_old_, kHelper, "collect logs"),
                          Shown(helper_, kHelper, "failed to collect logs:"), "no space"));
  run = RunTool(kLog, {"show", "--predicate", R"(process ==[c] "dorvane")", "--info"});
  EXPECT_THAT(ShownRecords(run.out), ElementsAre(Shown(app_, kApp, "asked the helper")));
}

TEST_F(LogToolTest, ShowsEveryLevelAskedForWithoutAPredicate) {
  testing::ProgramRun run = RunTool(kLog, {"show", "--last", "4m"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(ShownRecords(run.out), ElementsAre(Shown(unrelated_, kOther, "nothing to see")));
  run = RunTool(kLog, {"show", "--debug", "--last", "4m", "--style", "syslog"});
  EXPECT_THAT(ShownRecords(run.out), ElementsAre(Shown(other_, kOther, "HÄLVEX was mentioned"),
                                                 Shown(unrelated_, kOther, "nothing to see")));
  run = RunTool(kLog, {"show", "--last", "0m"});
  EXPECT_THAT(ShownRecords(run.out), IsEmpty());
}

TEST_F(LogToolTest, RefusesMalformedPredicatesAndCommandLines) {
  testing::ProgramRun run = RunTool(kLog, {"show", "--predicate", R"(process == "a)"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, StartsWith("log: Invalid predicate: unterminated string"));

  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"stream"},
           {"show", "--style", "json"},
           {"show", "--last"},
           {"show", "--last", "30s"},
           {"show", "--last", "m"},
           {"show", "--last", "-5m"},
           {"show", "--info", "--info"},
           {"show", "--predicate"},
           {"show", "--source"},
           {"collect"},
           {"collect", "--output"},
           {"collect", "--output", "", "--last", "30m"},
           {"collect", "--output", "/tmp/x", "--last", "forever"},
           {"collect", "--output", "/tmp/x", "--start", "2020-01-01"},
       }) {
    run = RunTool(kLog, arguments);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.out, IsEmpty()) << ::testing::PrintToString(arguments);
    EXPECT_THAT(run.err, StartsWith("Usage: log show")) << ::testing::PrintToString(arguments);
  }
}

TEST_F(LogToolTest, CollectsTheRecordsOfTheWindowIntoANewArchive) {
  const mcom::FilePath logs = root_.Join("private/tmp/logs");
  std::filesystem::create_directory(logs.string());
  const mcom::FilePath archive = logs.Join("logs.logarchive");
  testing::ProgramRun run =
      RunTool(kLog, {"collect", "--output", archive.string(), "--last", "30m"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, IsEmpty());

  // The records of the last 30 minutes exactly as the log holds them, at every level.
  EXPECT_EQ(::testing::TemporaryFolder::ReadFile(archive.Join("system.log")),
            helper_.text + app_.text + other_.text + unrelated_.text);
  run = RunProgram(mcom::FilePath("/usr/bin/python3"),
                   {"-c",
                    "import plistlib, sys\n"
                    "info = plistlib.load(open(sys.argv[1], 'rb'))\n"
                    "print(info['RecordCount'], info['LogFile'], info['Source'],\n"
                    "      info['EndDate'] > info['StartDate'])\n",
                    archive.Join("Info.plist").string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "4 system.log /private/var/log/system.log True\n");

  // Never over an existing archive, and never half an archive.
  run = RunTool(kLog, {"collect", "--output", archive.string(), "--last", "30m"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "log: Could not create archive at " + archive.string() + ": File exists\n");
  run = RunTool(kLog, {"collect", "--output", logs.Join("none/x.logarchive").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("No such file or directory"));
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(logs.string())) {
    names.push_back(item.path().filename().string());
  }
  EXPECT_THAT(names, ElementsAre("logs.logarchive"));
}

TEST_F(LogToolTest, FailsWhereTheFaultHooksSaySo) {
  const mcom::FilePath archive = root_.Join("private/tmp/logs.logarchive");
  // At exit the work is done: the archive is in place, and yet the collection fails.
  machine_.Change([](Model& model) { model.faults["log.collect"] = "fail-at-exit;status=4"; });
  testing::ProgramRun run = RunTool(kLog, {"collect", "--output", archive.string()});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "log: Could not create " + archive.string() + "\n");
  EXPECT_TRUE(std::filesystem::exists(archive.Join("Info.plist").string()));

  // Before the start even a command line it would refuse only gets the injected error.
  machine_.Change(
      [](Model& model) { model.faults["log.show"] = "fail-before-start;message=Bus error"; });
  run = RunTool(kLog, {"show", "--no-such-option"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "log: Bus error\n");
  EXPECT_THAT(run.out, IsEmpty());

  machine_.Change([](Model& model) { model.faults["log.show"] = "fail-at-exit"; });
  run = RunTool(kLog, {"show", "--last", "4m"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(ShownRecords(run.out), ElementsAre(Shown(unrelated_, kOther, "nothing to see")));
  EXPECT_EQ(run.err, "log: Could not read the system log\n");
}

}  // namespace
}  // namespace sim
