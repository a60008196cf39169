#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CLI::App app{"Backs up an APFS container into a sparse disk image, and restores one.", "dorvane"};
  app.require_subcommand(1);
  CommandLine line;
  std::string root;
  app.add_option("--root", root, "The folder of the simulated Mac to work on (default: /)");
  app.add_flag("--json", line.json, "Print one JSON object per update and one for the result");

  BackupCommand backup;
  std::string source;
  CLI::App* backup_app = app.add_subcommand("backup", "Back up a container into a new image");
  backup_app->add_option("--source", source,
                         "The container's disk, such as disk1 (default: the running system's)");
  backup_app->add_option("--to", backup.image, "The image file to write (replaced if it exists)")
      ->required();

  RestoreCommand restore;
  CLI::App* restore_app =
      app.add_subcommand("restore", "Restore an image onto a disk, erasing what it holds");
  restore_app->add_option("--from", restore.image, "The backup image to restore")->required();
  restore_app->add_option("--to", restore.target, "The target disk or container, such as disk2")
      ->required();

  // CLI11 parses the arguments last to first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return HelpRequest{app.help()};
  } catch (const CLI::CallForAllHelp&) {
    return HelpRequest{app.help("", CLI::AppFormatMode::All)};
  } catch (const CLI::ParseError& error) {
    return UsageError{error.what()};
  }

  if (!root.empty()) line.root = root;
  if (backup_app->parsed()) {
    if (!source.empty()) backup.source = source;
    line.command = backup;
  } else {
    line.command = restore;
  }
  return line;
}
