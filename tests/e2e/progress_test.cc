// What a user sees of a replication: one fraction that only rises and ends at 1.0, and a
// "Replicating (n/m)…" text each time the tool starts on a further volume, in order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/backup/backup.h"
#include "tests/e2e/e2e_machine.h"

namespace e2e {
namespace {

std::vector<std::string> ReplicatingTexts(const std::vector<std::string>& texts) {
  std::vector<std::string> replicating;
  for (const std::string& text : texts) {
    if (text.rfind("Replicating (", 0) == 0) replicating.push_back(text);
  }
  return replicating;
}

void ExpectRisingToOne(const std::vector<double>& fractions) {
  ASSERT_FALSE(fractions.empty());
  for (size_t i = 1; i < fractions.size(); ++i) {
    EXPECT_GE(fractions[i], fractions[i - 1]) << "update " << i;
  }
  EXPECT_GE(fractions.front(), 0.0);
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
}

std::string Replicating(int volume, int total) {
  return "Replicating (" + std::to_string(volume) + "/" + std::to_string(total) + ")\xE2\x80\xA6";
}

TEST(ReplicationProgress, TwoVolumeGroupsReportOneRisingFraction) {
  // Two macOS installations: one run per System/Data group and one for each of Preboot,
  // Recovery and VM, seven volumes in all.
  E2EMachine mac("dual-boot-mac");
  ProgressLog progress;
  backup::PerformBackup(mac.SystemContainer(), mac.Scratch("Dual.sparseimage"), ReplicateHere,
                        progress.Callback());
  ExpectRisingToOne(progress.fractions);
  std::vector<std::string> expected;
  for (int volume = 1; volume <= 7; ++volume) expected.push_back(Replicating(volume, 7));
  EXPECT_EQ(ReplicatingTexts(progress.texts), expected);
}

TEST(ReplicationProgress, OneRunForTheWholeContainerGrowsItsTotal) {
  // One System/Data group: one run, planned as two volumes, that announces all five.
  E2EMachine mac;
  ProgressLog progress;
  backup::PerformBackup(mac.SystemContainer(), mac.Scratch("Backup.sparseimage"), ReplicateHere,
                        progress.Callback());
  ExpectRisingToOne(progress.fractions);
  EXPECT_EQ(ReplicatingTexts(progress.texts),
            (std::vector<std::string>{Replicating(1, 2), Replicating(2, 2), Replicating(3, 3),
                                      Replicating(4, 4), Replicating(5, 5)}));
}

}  // namespace
}  // namespace e2e
