#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

// dorvane's command line, as typed; nothing is checked against the machine yet. The common
// options may stand before or after the command:
//
//   dorvane [--root DIR] [--json] [--verbose] backup [--source diskN] --to PATH
//   dorvane [--root DIR] [--json] [--verbose] restore --from PATH --to DISK [--restart]
//   dorvane [--root DIR] [--json] [--verbose] logs --to PATH [--force]
//   dorvane [--root DIR] [--json] [--verbose] recovery-disk --to DISK
//   dorvane [--root DIR] [--json] list
//   dorvane --version | --help

struct BackupCommand {
  std::optional<std::string> source;  // the container's disk; none: the running system's
  std::string image;
};

struct RestoreCommand {
  std::string image;
  std::string target;    // a restore target's disk: a container's, or a partition
  bool restart = false;  // then the Mac starts from the restored disk
};

// The helper's diagnostic log archive, saved as `archive`.
struct LogsCommand {
  std::string archive;
  bool force = false;  // an existing file is replaced
};

struct RecoveryDiskCommand {
  std::string target;  // the whole external disk to erase
};

// The containers that can be backed up and the disks that can receive a restore.
struct ListCommand {};

struct CommandLine {
  std::optional<std::string> root;  // the simulated Mac's folder, standing for "/"
  bool json = false;
  bool verbose = false;  // the tools' own output shown as it comes, not only on failure
  std::variant<BackupCommand, RestoreCommand, LogsCommand, RecoveryDiskCommand, ListCommand>
      command;
};

// What the user asked for help with, or the version: the text to print, then exit 0.
struct HelpRequest {
  std::string text;
  bool json = false;
};

// An argument list that cannot be run: one line saying why.
struct UsageError {
  std::string message;
};

using ParsedCommandLine = std::variant<CommandLine, HelpRequest, UsageError>;

// `arguments` without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// Whether `arguments` ask for JSON output, for answering in JSON even when they cannot be
// parsed.
bool AsksForJson(const std::vector<std::string>& arguments);
