#include "app/cli/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::HasSubstr;

ParsedCommandLine Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLine, ReadsBackupAndRestoreWithTheirOptions) {
  ParsedCommandLine parsed =
      Parse({"--root", "/sim/mac", "--json", "backup", "--source", "disk1", "--to", "/b/x"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(parsed));
  CommandLine line = std::get<CommandLine>(parsed);
  EXPECT_EQ(line.root, "/sim/mac");
  EXPECT_TRUE(line.json);
  const BackupCommand& backup = std::get<BackupCommand>(line.command);
  EXPECT_EQ(backup.source, "disk1");
  EXPECT_EQ(backup.image, "/b/x");

  parsed = Parse({"backup", "--to", "image with spaces"});
  line = std::get<CommandLine>(parsed);
  EXPECT_FALSE(line.root.has_value());
  EXPECT_FALSE(line.json);
  EXPECT_FALSE(std::get<BackupCommand>(line.command).source.has_value());
  EXPECT_EQ(std::get<BackupCommand>(line.command).image, "image with spaces");

  // The common options may follow the command.
  parsed = Parse({"restore", "--to", "disk2", "--from", "/b/x", "--json", "--verbose"});
  line = std::get<CommandLine>(parsed);
  EXPECT_TRUE(line.json);
  EXPECT_TRUE(line.verbose);
  const RestoreCommand& restore = std::get<RestoreCommand>(line.command);
  EXPECT_EQ(restore.image, "/b/x");
  EXPECT_EQ(restore.target, "disk2");
  EXPECT_FALSE(restore.restart);
  line = std::get<CommandLine>(Parse({"restore", "--restart", "--from", "/b/x", "--to", "disk2"}));
  EXPECT_TRUE(std::get<RestoreCommand>(line.command).restart);

  line = std::get<CommandLine>(Parse({"logs", "--to", "/b/Logs.zip", "--json"}));
  EXPECT_EQ(std::get<LogsCommand>(line.command).archive, "/b/Logs.zip");
  EXPECT_FALSE(std::get<LogsCommand>(line.command).force);
  line = std::get<CommandLine>(Parse({"logs", "--force", "--to", "/b/Logs.zip"}));
  EXPECT_TRUE(std::get<LogsCommand>(line.command).force);
  parsed = Parse({"recovery-disk", "--to", "disk3"});
  EXPECT_EQ(std::get<RecoveryDiskCommand>(std::get<CommandLine>(parsed).command).target, "disk3");
}

TEST(CommandLine, RefusesIncompleteOrUnknownArgumentsWithOneLine) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"backup"},
           {"restore", "--from", "/b/x"},
           {"restore", "--to", "disk2"},
           {"recovery-disk"},
           {"clone", "--to", "disk2"},
           {"backup", "--to", "/b/x", "--verify"},
           {"backup", "--to", "/b/x", "extra"},
           {"backup", "--to"},
           {"logs"},
           {"logs", "--to", "/b/x", "--source", "disk1"},
       }) {
    const ParsedCommandLine parsed = Parse(arguments);
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << testing::PrintToString(arguments);
    const std::string& message = std::get<UsageError>(parsed).message;
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

TEST(CommandLine, HelpDescribesTheAskedCommand) {
  ParsedCommandLine parsed = Parse({"--help"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(parsed));
  EXPECT_THAT(std::get<HelpRequest>(parsed).text, HasSubstr("restore"));

  parsed = Parse({"restore", "--help"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(parsed));
  EXPECT_THAT(std::get<HelpRequest>(parsed).text, HasSubstr("--from"));
  EXPECT_THAT(std::get<HelpRequest>(parsed).text, HasSubstr("128+N"));

  parsed = Parse({"--version", "--json"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(parsed));
  EXPECT_THAT(std::get<HelpRequest>(parsed).text, testing::StartsWith("dorvane "));
  EXPECT_TRUE(std::get<HelpRequest>(parsed).json);
}

}  // namespace
