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

constexpr const char* kSwVers = "/usr/bin/sw_vers";

TEST(SwVersTool, PrintsTheMachinesVersionInTheRealForm) {
  ::testing::TemporaryMachineRoot root;
  Machine machine = testing::MakeTestMachineWithTools(root.path());
  testing::ProgramRun run = RunTool(kSwVers);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "ProductName:\tmacOS\nProductVersion:\t10.15.7\nBuildVersion:\t19H2\n");
  EXPECT_THAT(run.err, IsEmpty());

  // What the machine says now, not what it said when it was made.
  machine.Change([](Model& model) {
    model.facts.product_version = "11.3";
    model.facts.build_version = "20E232";
  });
  run = RunTool(kSwVers);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "ProductName:\tmacOS\nProductVersion:\t11.3\nBuildVersion:\t20E232\n");

  for (const char* argument : {"-productVersion", "--help", "x"}) {
    run = RunTool(kSwVers, {argument});
    EXPECT_EQ(run.status, 1) << argument;
    EXPECT_THAT(run.out, IsEmpty()) << argument;
    EXPECT_THAT(run.err, StartsWith("Usage: sw_vers")) << argument;
  }
}

}  // namespace
}  // namespace sim
