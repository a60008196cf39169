#include "app/cli/progress_display.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace {

using std::chrono::seconds;
using testing::HasSubstr;

// A clock that stands still until the test moves it.
struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  ProgressDisplay::Clock Function() {
    return [this] { return now; };
  }
};

class ProgressDisplayTest : public testing::Test {
 protected:
  std::unique_ptr<ProgressDisplay> Make(ProgressStyle style) {
    return MakeProgressDisplay(style, out_, clock_.Function());
  }

  std::ostringstream out_;
  FakeClock clock_;
};

// The throughput counts from the first fraction, the start of the copy, not from the steps
// before it.
TEST_F(ProgressDisplayTest, LinesShowUpdatesWithTimeAndTheCopysThroughput) {
  std::unique_ptr<ProgressDisplay> display = Make(ProgressStyle::kLines);
  display->SetDataBytes(100'000'000);
  display->Update(std::string("found system disk disk1s5"));
  clock_.now += seconds(5);
  display->Update(0.0);
  clock_.now += seconds(10);
  display->Update(0.5);
  clock_.now += seconds(10);
  display->Update(1.0);
  display->Finish(std::nullopt, 0);
  EXPECT_EQ(out_.str(),
            "found system disk disk1s5\n"
            "  0.0%  00:05\n"
            " 50.0%  00:15, 5.0 MB/s\n"
            "100.0%  00:25, 5.0 MB/s\n"
            "Done in 00:25, 5.0 MB/s.\n");
}

// A log gets a fraction only for a further whole per cent or after a second, and a status
// text once however often it repeats.
TEST_F(ProgressDisplayTest, LinesAreThrottledForLogs) {
  std::unique_ptr<ProgressDisplay> display = Make(ProgressStyle::kLines);
  for (double fraction : {0.100, 0.101, 0.105, 0.1099}) display->Update(fraction);
  display->Update(std::string("Replicating (1/2)"));
  display->Update(std::string("Replicating (1/2)"));
  display->Update(0.1100);  // a further whole per cent
  display->Update(0.1101);
  clock_.now += std::chrono::milliseconds(1500);
  display->Update(0.1102);  // a second later
  EXPECT_EQ(out_.str(),
            " 10.0%  00:00\n"
            "Replicating (1/2)\n"
            " 11.0%  00:00\n"
            " 11.0%  00:01\n");
}

TEST_F(ProgressDisplayTest, ThroughputNeedsKnownDataAndTime) {
  std::unique_ptr<ProgressDisplay> display = Make(ProgressStyle::kLines);
  display->Update(0.5);  // no time has passed and no size is known
  display->SetDataBytes(1000);
  display->Update(0.75);  // still no time
  EXPECT_EQ(out_.str(), " 50.0%  00:00\n 75.0%  00:00\n");
}

TEST_F(ProgressDisplayTest, JsonGivesOneObjectPerUpdateAndTheError) {
  std::unique_ptr<ProgressDisplay> display = Make(ProgressStyle::kJson);
  display->Update(std::string("Replicating (1/2)\xE2\x80\xA6"));
  clock_.now += seconds(2);
  display->Update(0.5);
  display->Update(0.0000125);  // plain decimals, never an exponent
  display->Finish(Error("PerformRestore", "no \"APFS\" container", Error("AttachImage", "x")), 1);
  EXPECT_EQ(out_.str(),
            "{\"type\":\"status\",\"text\":\"Replicating (1/2)\xE2\x80\xA6\",\"elapsed\":0}\n"
            "{\"type\":\"progress\",\"fraction\":0.5,\"elapsed\":2}\n"
            "{\"type\":\"progress\",\"fraction\":0.000013,\"elapsed\":2}\n"
            "{\"type\":\"result\",\"success\":false,\"exit_status\":1,\"elapsed\":2,"
            "\"error\":{\"operation\":\"PerformRestore\",\"message\":\"no \\\"APFS\\\" container\","
            "\"cause\":{\"operation\":\"AttachImage\",\"message\":\"x\"}},"
            "\"description\":\"PerformRestore: no \\\"APFS\\\" container: AttachImage: x\"}\n");
}

TEST_F(ProgressDisplayTest, BarRedrawsOneLineOnlyWhenItChanges) {
  std::unique_ptr<ProgressDisplay> display = Make(ProgressStyle::kBar);
  display->Update(0.5);
  const std::string first = out_.str();
  display->Update(0.5);
  EXPECT_EQ(out_.str(), first);  // nothing new to show
  EXPECT_THAT(first, HasSubstr("[###############---------------]  50.0%"));
  EXPECT_EQ(first.rfind("\r\033[K", 0), 0u);
  EXPECT_EQ(first.find('\n'), std::string::npos);

  display->Update(std::string("Replicating (2/2)"));
  display->Update(1.0);
  display->Finish(std::nullopt, 0);
  EXPECT_THAT(out_.str(), HasSubstr("[##############################] 100.0%  Replicating (2/2)"));
  EXPECT_THAT(out_.str(), HasSubstr("\nDone in 00:00.\n"));
}

TEST(ProgressFormats, ThroughputAndElapsedTime) {
  EXPECT_EQ(FormatThroughput(0), "0 B/s");
  EXPECT_EQ(FormatThroughput(999), "999 B/s");
  EXPECT_EQ(FormatThroughput(1500), "1.5 KB/s");
  EXPECT_EQ(FormatThroughput(250'000'000), "250 MB/s");
  EXPECT_EQ(FormatThroughput(3.2e15), "3200 TB/s");
  EXPECT_EQ(FormatElapsed(0), "00:00");
  EXPECT_EQ(FormatElapsed(62.9), "01:02");
  EXPECT_EQ(FormatElapsed(3723), "1:02:03");
  EXPECT_EQ(FormatElapsed(-1), "00:00");
}

}  // namespace
