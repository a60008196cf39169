#include "core/backup/replication.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <variant>

namespace {

using testing::ElementsAre;

mcom::DiskName Volume(uint32_t slice) { return mcom::DiskName{1, slice}; }

APFSVolumeInfo Info(const char* uuid, std::optional<APFSVolumeRole> role,
                    std::optional<std::string> group, uint32_t slice) {
  return APFSVolumeInfo{uuid, role, std::move(group), Volume(slice)};
}

// Records what a replication reports, in order.
struct Recorder {
  std::vector<double> fractions;
  std::vector<std::string> texts;
  std::vector<std::string> order;  // "f" or "t" per update
  ProgressCallback Callback() {
    return [this](ProgressUpdate update) {
      if (const double* fraction = std::get_if<double>(&update)) {
        fractions.push_back(*fraction);
        order.push_back("f");
      } else {
        texts.push_back(std::get<std::string>(update));
        order.push_back("t");
      }
    };
  }
};

TEST(PlanReplication, OneGroupWithRoleVolumesCopiesTheWholeContainer) {
  const auto plan = PlanReplication({
      Info("P", APFSVolumeRole::kOther, std::nullopt, 2),
      Info("S", APFSVolumeRole::kSystem, "G1", 5),
      Info("D", APFSVolumeRole::kData, "G1", 1),
      Info("R", APFSVolumeRole::kOther, std::nullopt, 3),
      Info("V", APFSVolumeRole::kOther, std::nullopt, 4),
  });
  ASSERT_EQ(plan.passes.size(), 1u);
  EXPECT_TRUE(plan.whole_container);
  EXPECT_EQ(plan.total, 2u) << "the planned pass covers the group's two volumes";
  EXPECT_THAT(plan.remount, ElementsAre(Volume(5), Volume(1))) << "Other volumes stay unmounted";

  // No volumes at all: the whole (empty) container.
  const auto empty = PlanReplication({});
  EXPECT_TRUE(empty.whole_container);
  EXPECT_EQ(empty.total, 0u);
}

TEST(PlanReplication, TwoGroupsRunOncePerGroupFromTheSystemVolume) {
  const auto plan = PlanReplication({
      Info("D2", APFSVolumeRole::kData, "BBBB", 3),
      Info("S2", APFSVolumeRole::kSystem, "BBBB", 4),
      Info("D1", APFSVolumeRole::kData, "AAAA", 1),
      Info("S1", APFSVolumeRole::kSystem, "AAAA", 2),
      Info("X", std::nullopt, std::nullopt, 5),
      Info("Pre", APFSVolumeRole::kOther, std::nullopt, 6),
  });
  EXPECT_FALSE(plan.whole_container);
  // Ungrouped first, each in a run of its own (Preboot too: no other run would copy it), then
  // the groups in byte order of their UUID.
  std::vector<std::pair<std::string, uint64_t>> passes;
  for (const ReplicationPass& pass : plan.passes) {
    passes.emplace_back(pass.source_volume_uuid, pass.volume_count);
  }
  EXPECT_THAT(passes, ElementsAre(std::pair{"X", 1u}, std::pair{"Pre", 1u}, std::pair{"S1", 2u},
                                  std::pair{"S2", 2u}));
  EXPECT_EQ(plan.total, 6u);
}

TEST(PlanReplication, GroupWithoutSystemStartsFromItsFirstVolume) {
  const auto plan = PlanReplication({
      Info("A", APFSVolumeRole::kData, "G1", 1),
      Info("B", std::nullopt, "G1", 2),
      Info("C", APFSVolumeRole::kData, "G2", 3),
  });
  ASSERT_EQ(plan.passes.size(), 2u);
  EXPECT_EQ(plan.passes[0].source_volume_uuid, "A");
  EXPECT_EQ(plan.passes[1].source_volume_uuid, "C");
}

TEST(ReplicationOutput, LineRules) {
  Recorder recorder;
  ReplicationProgress progress(2, recorder.Callback());
  ReplicationOutput output(progress);

  output.HandleLine("PINF\t50\t100\t");  // before any volume: dropped
  output.HandleLine("");
  output.HandleLine("XSTA\tstart\t412");
  output.HandleLine("\tValidating target...done");
  output.HandleLine("PSTT\t0\t100\t");
  output.HandleLine("PINF\t50\t100\t");
  output.HandleLine("PSTT\t0\t0\t");  // second number 0: not progress, collected
  output.HandleLine("PSTP\tdone");
  output.HandleLine("PSTT\t0\t100\tnext");
  output.HandleLine("PINF\t100\t100\t");
  output.HandleLine("asr: could not do it");

  EXPECT_THAT(recorder.fractions, ElementsAre(0.0, 0.25, 0.5, 1.0));
  EXPECT_THAT(recorder.texts, ElementsAre("Validating target...done", "Replicating (1/2)\u2026",
                                          "Replicating (2/2)\u2026"));
  EXPECT_THAT(recorder.order, ElementsAre("t", "f", "t", "f", "f", "t", "f"))
      << "the fraction of a new volume comes before its text";
  EXPECT_EQ(output.collected(), "PSTT\t0\t0\t: asr: could not do it");
}

TEST(ReplicationOutput, FractionRisesAcrossRuns) {
  Recorder recorder;
  ReplicationProgress progress(3, recorder.Callback());
  for (int run = 0; run < 2; ++run) {
    ReplicationOutput output(progress);  // a fresh run keeps the shared pass index
    const int volumes = run == 0 ? 2 : 1;
    for (int volume = 0; volume < volumes; ++volume) {
      output.HandleLine("PSTT\t0\t10\t");
      for (int step = 1; step <= 10; ++step) {
        output.HandleLine("PINF\t" + std::to_string(step) + "\t10\t");
      }
    }
  }
  ASSERT_FALSE(recorder.fractions.empty());
  for (size_t i = 1; i < recorder.fractions.size(); ++i) {
    EXPECT_GE(recorder.fractions[i], recorder.fractions[i - 1]) << i;
  }
  EXPECT_DOUBLE_EQ(recorder.fractions.back(), 1.0);
}

// A whole-container run announces every volume it copies, more than the plan counted: the
// total grows with the announcements and the fraction holds instead of dropping.
TEST(ReplicationOutput, MoreVolumesThanPlannedGrowTheTotal) {
  for (const uint64_t planned : {uint64_t{0}, uint64_t{2}}) {
    Recorder recorder;
    ReplicationProgress progress(planned, recorder.Callback());
    ReplicationOutput output(progress);
    for (int volume = 0; volume < 5; ++volume) {
      output.HandleLine("PSTT\t0\t100\t");
      output.HandleLine("PINF\t50\t100\t");
      output.HandleLine("PINF\t100\t100\t");
    }
    const std::vector<std::string> first_two{"Replicating (1/2)\u2026", "Replicating (2/2)\u2026"};
    if (planned == 2) {
      EXPECT_THAT(std::vector(recorder.texts.begin(), recorder.texts.begin() + 2),
                  testing::ElementsAreArray(first_two));
    }
    EXPECT_EQ(recorder.texts.back(), "Replicating (5/5)\u2026");
    ASSERT_FALSE(recorder.fractions.empty());
    for (size_t i = 1; i < recorder.fractions.size(); ++i) {
      EXPECT_GE(recorder.fractions[i], recorder.fractions[i - 1]) << planned << " " << i;
    }
    EXPECT_LE(recorder.fractions.back(), 1.0);
    EXPECT_DOUBLE_EQ(recorder.fractions.back(), 1.0);
  }
}

TEST(ReplicationOutput, FailureMessageJoinsUnrecognisedLines) {
  ReplicationProgress progress(1, nullptr);
  ReplicationOutput output(progress);
  output.HandleLine("A");
  output.HandleLine("\tignored text");
  output.HandleLine("B");
  EXPECT_EQ(output.collected(), "A: B");
}

TEST(ReplicationArguments, TheLineOfARealRunWithTheVolumeOrTheErase) {
  const std::vector<std::string> whole = ReplicationArguments(
      {1, mcom::DiskName::kNoSlice}, std::nullopt, {5, mcom::DiskName::kNoSlice}, true);
  EXPECT_THAT(whole, ElementsAre("restore", "-s", "/dev/disk1", "-t", "/dev/disk5",
                                 "--useReplication", "--puppetstrings", "--noprompt", "--erase"));
  // A volume group instead of the container, added to the target.
  std::vector<std::string> group = whole;
  group.back() = "--sourcevolumeUUID";
  group.push_back("UUID-1");
  EXPECT_EQ(ReplicationArguments({1, mcom::DiskName::kNoSlice}, "UUID-1",
                                 {5, mcom::DiskName::kNoSlice}, false),
            group);
}

}  // namespace
