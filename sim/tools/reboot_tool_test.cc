#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::IsEmpty;
using testing::RunTool;
using ::testing::StartsWith;

TEST(RebootTool, RecordsARestartRequestAndNothingElse) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path());

  testing::ProgramRun run = RunTool("/sbin/reboot", {"now"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, StartsWith("Usage: reboot"));
  EXPECT_FALSE(machine.Read().boot.restart_requested);

  machine.Change([](Model& model) { model.faults["reboot.restart"] = "fail:not now"; });
  run = RunTool("/sbin/reboot");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "reboot: not now\n");
  EXPECT_FALSE(machine.Read().boot.restart_requested);

  machine.Change([](Model& model) { model.faults.erase("reboot.restart"); });
  run = RunTool("/sbin/reboot");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, IsEmpty());
  const Boot boot = machine.Read().boot;
  EXPECT_TRUE(boot.restart_requested);
  EXPECT_THAT(boot.device, IsEmpty());
}

}  // namespace
}  // namespace sim
