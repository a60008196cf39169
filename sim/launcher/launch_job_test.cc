// Reading jobs from their property lists as launchd reads them.

#include "sim/launcher/launch_job.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/foundation/property_list.h"
#include "sim/machine/machine_error.h"

namespace sim::launcher {
namespace {

LaunchJob Parse(const std::string& keys) {
  const std::string text = "<plist version=\"1.0\"><dict>" + keys + "</dict></plist>";
  return ParseLaunchJob(mcom::cf::PropertyListFromBytes(text.data(), text.size()));
}

std::string Problem(const std::string& keys) {
  try {
    Parse(keys);
    return "accepted";
  } catch (const MachineError& error) {
    return error.what();
  }
}

constexpr char kLabel[] = "<key>Label</key><string>com.example.job</string>";

TEST(LaunchJob, ProgramAndArgumentsAsLaunchdTakesThem) {
  // Program is the executable even when the arguments name another first.
  LaunchJob job = Parse(std::string(kLabel) +
                        "<key>Program</key><string>/usr/libexec/real</string>"
                        "<key>ProgramArguments</key><array><string>/shown</string>"
                        "<string>-v</string></array>"
                        "<key>MachServices</key><dict><key>com.example.b</key><dict>"
                        "<key>ResetAtClose</key><true/></dict><key>com.example.a</key><true/>"
                        "</dict><key>ThrottleInterval</key><integer>0</integer>");
  EXPECT_EQ(job.program, "/usr/libexec/real");
  EXPECT_EQ(job.arguments, (std::vector<std::string>{"/shown", "-v"}));
  EXPECT_EQ(job.mach_services, (std::vector<std::string>{"com.example.a", "com.example.b"}));
  EXPECT_EQ(job.throttle_interval, 0);

  job = Parse(std::string(kLabel) +
              "<key>ProgramArguments</key><array><string>/bin/tool</string></array>");
  EXPECT_EQ(job.program, "/bin/tool");
  EXPECT_EQ(job.throttle_interval, 10);
  job = Parse(std::string(kLabel) + "<key>Program</key><string>/bin/tool</string>");
  EXPECT_EQ(job.arguments, (std::vector<std::string>{"/bin/tool"}));
  EXPECT_TRUE(job.mach_services.empty());
  EXPECT_TRUE(job.standard_out_path.empty());
}

TEST(LaunchJob, RefusesWhatCannotBeRun) {
  const std::string program = "<key>Program</key><string>/bin/tool</string>";
  EXPECT_EQ(Problem(program), "missing the required key Label");
  EXPECT_EQ(Problem("<key>Label</key><integer>1</integer>" + program), "Label: not a string");
  EXPECT_EQ(Problem(kLabel), "missing the required key Program or ProgramArguments");
  EXPECT_EQ(Problem(std::string(kLabel) + "<key>Program</key><string>tool</string>"),
            "not an absolute program path: tool");
  EXPECT_EQ(Problem(std::string(kLabel) +
                    "<key>ProgramArguments</key><array><string>/a</string><integer>1</integer>"
                    "</array>"),
            "ProgramArguments: not an array of strings");
  EXPECT_EQ(Problem(kLabel + program +
                    "<key>MachServices</key><dict><key>com.example</key><false/></dict>"),
            "MachServices.com.example: neither true nor a dictionary");
  EXPECT_EQ(Problem(kLabel + program + "<key>MachServices</key><dict><key>a/b</key><true/></dict>"),
            "MachServices: not a service name: a/b");
  EXPECT_EQ(Problem(kLabel + program + "<key>StandardOutPath</key><string>out.log</string>"),
            "StandardOutPath: not an absolute path: out.log");
  EXPECT_EQ(Problem(kLabel + program + "<key>ThrottleInterval</key><integer>-1</integer>"),
            "ThrottleInterval: not a number of seconds from 0 to 86400");
  EXPECT_THROW(ParseLaunchJob(nullptr), MachineError);
}

}  // namespace
}  // namespace sim::launcher
