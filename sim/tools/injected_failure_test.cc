#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/machine/machine.h"
#include "sim/machine/test_machine.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::IsEmpty;
using ::testing::Not;
using testing::RunTool;

// A diagnostic tool, its hook and its usual failure.
struct DiagnosticTool {
  const char* path;
  const char* hook;
  const char* usual_error;
};

constexpr DiagnosticTool kDiagnosticTools[] = {
    {"/usr/sbin/ioreg", "ioreg.run", "ioreg: could not read the registry\n"},
    {"/sbin/dmesg", "dmesg.run", "dmesg: Operation not permitted\n"},
    {"/sbin/mount", "mount.run", "mount: Could not read the mount table\n"},
    {"/usr/bin/sw_vers", "sw_vers.run", "sw_vers: Could not read the system version\n"},
};

// The log collection saves whatever these tools print, so each point must be exact: nothing
// printed before the start or at it, everything printed at the exit, and the status asked.
TEST(InjectedFailure, StopsTheDiagnosticToolsAtEachPoint) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path());
  for (const DiagnosticTool& tool : kDiagnosticTools) {
    SCOPED_TRACE(tool.path);
    const testing::ProgramRun healthy = RunTool(tool.path);
    ASSERT_EQ(healthy.status, 0) << healthy.err;
    ASSERT_THAT(healthy.out, Not(IsEmpty()));

    const auto fault = [&](const std::string& value) {
      machine.Change([&](Model& model) { model.faults[tool.hook] = value; });
    };
    fault("fail");
    testing::ProgramRun run = RunTool(tool.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(run.err, tool.usual_error);

    // A copy point in a tool that copies nothing still fails it, at the start.
    fault("fail-after-percent:10;status=9");
    run = RunTool(tool.path);
    EXPECT_EQ(run.status, 9);
    EXPECT_THAT(run.out, IsEmpty());

    // Before the start even arguments it would refuse get the injected failure instead.
    fault("fail-before-start;status=127;message=cannot execute");
    run = RunTool(tool.path, {"--no-such-option"});
    EXPECT_EQ(run.status, 127);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(run.err, std::string(tool.path).substr(std::string(tool.path).rfind('/') + 1) +
                           ": cannot execute\n");

    fault("fail-at-exit;status=3");
    run = RunTool(tool.path);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, healthy.out);
    EXPECT_EQ(run.err, tool.usual_error);

    // Cleared, the tool works again; a message may hold semicolons.
    fault("fail:no; not today");
    EXPECT_THAT(RunTool(tool.path).err, ::testing::EndsWith(": no; not today\n"));
    fault("fail-at-start;message=a;b;status=4");
    run = RunTool(tool.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, ::testing::EndsWith(": a;b;status=4\n"));
    machine.Change([&](Model& model) { model.faults.erase(tool.hook); });
    EXPECT_EQ(RunTool(tool.path).status, 0);
  }
}

TEST(InjectedFailure, RecordsTheRestartOnlyWhenTheFailureComesAtTheExit) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path());
  for (const char* value : {"fail-before-start", "fail", "fail-at-start;status=2"}) {
    machine.Change([&](Model& model) { model.faults["reboot.restart"] = value; });
    EXPECT_NE(RunTool("/sbin/reboot").status, 0) << value;
    EXPECT_FALSE(machine.Read().boot.restart_requested) << value;
  }
  machine.Change([](Model& model) { model.faults["reboot.restart"] = "fail-at-exit"; });
  const testing::ProgramRun run = RunTool("/sbin/reboot");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "reboot: Operation not permitted\n");
  EXPECT_TRUE(machine.Read().boot.restart_requested);
}

}  // namespace
}  // namespace sim
