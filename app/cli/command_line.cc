#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>

namespace {

constexpr char kExitStatuses[] =
    "Exit status:\n"
    "  0        done: the image is complete and detached, every volume is restored, or\n"
    "           the log archive is written, or the recovery disk is built\n"
    "  1        the operation failed (the message says which step, and what it left), or\n"
    "           the privileged helper will not serve this copy (outside the recovery\n"
    "           environment only the bundle's dorvane, run as root, replicates, and only\n"
    "           it collects the logs), or the helper gave no log archive\n"
    "  64       bad arguments, a source or target the application does not offer (see\n"
    "           dorvane list), or a target that must not be erased; nothing was changed\n"
    "  128+N    stopped by signal N (130 for SIGINT, 143 for SIGTERM) after cleaning up";

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CLI::App app{
      "Backs up an APFS container into a sparse disk image, restores one, builds a recovery "
      "disk, and collects the diagnostic logs.",
      "dorvane"};
  app.require_subcommand(1);
  app.footer(kExitStatuses);
  app.set_version_flag("--version", std::string("dorvane ") + DORVANE_VERSION);
  CommandLine line;
  std::string root;
  app.add_option("--root", root, "The folder of the simulated Mac to work on (default: /)");
  app.add_flag("--json", line.json, "Print one JSON object per update and one for the result");
  app.add_flag("--verbose", line.verbose,
               "Show the disk tools' output as it comes (otherwise only when a step fails)");

  BackupCommand backup;
  std::string source;
  CLI::App* backup_app = app.add_subcommand("backup", "Back up a container into a new image");
  backup_app->add_option("--source", source,
                         "The container's disk, such as disk1 (default: the running system's)");
  backup_app
      ->add_option("--to", backup.image,
                   "The image file to write, ending in .sparseimage (an existing one is replaced "
                   "once the new one is complete)")
      ->required();

  RestoreCommand restore;
  CLI::App* restore_app = app.add_subcommand(
      "restore", "Restore an image onto a container or partition, erasing what it holds");
  restore_app->add_option("--from", restore.image, "The backup image to restore")->required();
  restore_app
      ->add_option("--to", restore.target,
                   "The restore target, as dorvane list shows them: an APFS container's disk "
                   "(such as disk3), or a partition (such as disk2s2), which becomes a container")
      ->required();
  restore_app->add_flag("--restart", restore.restart,
                        "After the restore, make the restored disk the start-up disk and restart");
  LogsCommand logs;
  CLI::App* logs_app = app.add_subcommand(
      "logs", "Collect the diagnostic logs for support into a zip archive, through the helper");
  logs_app->add_option("--to", logs.archive, "The archive file to write, such as Logs.zip")
      ->required();
  logs_app->add_flag("--force", logs.force, "Replace an existing file at that path");
  // The common options are accepted after the command too.
  RecoveryDiskCommand recovery_disk;
  CLI::App* recovery_disk_app = app.add_subcommand(
      "recovery-disk",
      "Build a recovery disk from this Mac's recovery system, with Dorvane in its Utilities "
      "menu, erasing the disk");
  recovery_disk_app
      ->add_option("--to", recovery_disk.target, "The whole external disk to erase, such as disk2")
      ->required();
  CLI::App* list_app =
      app.add_subcommand("list",
                         "List the containers that can be backed up and the disks a backup can be "
                         "restored onto");
  // The common options are accepted after the command too.
  for (CLI::App* command : {backup_app, restore_app, logs_app, recovery_disk_app, list_app}) {
    command->fallthrough();
    command->footer(kExitStatuses);
  }

  // CLI11 parses the arguments last to first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  const bool json = AsksForJson(arguments);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return HelpRequest{app.help(), json};
  } catch (const CLI::CallForAllHelp&) {
    return HelpRequest{app.help("", CLI::AppFormatMode::All), json};
  } catch (const CLI::CallForVersion&) {
    return HelpRequest{app.version() + "\n", json};
  } catch (const CLI::ParseError& error) {
    return UsageError{error.what()};
  }

  if (!root.empty()) line.root = root;
  if (backup_app->parsed()) {
    if (!source.empty()) backup.source = source;
    line.command = backup;
  } else if (logs_app->parsed()) {
    line.command = logs;
  } else if (recovery_disk_app->parsed()) {
    line.command = recovery_disk;
  } else if (list_app->parsed()) {
    line.command = ListCommand{};
  } else {
    line.command = restore;
  }
  return line;
}

bool AsksForJson(const std::vector<std::string>& arguments) {
  return std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
}
