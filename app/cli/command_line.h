#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

// dorvane's command line, as typed; nothing is checked against the machine yet.
//
//   dorvane [--root DIR] [--json] backup [--source diskN] --to PATH
//   dorvane [--root DIR] [--json] restore --from PATH --to DISK

struct BackupCommand {
  std::optional<std::string> source;  // the container's disk; none: the running system's
  std::string image;
};

struct RestoreCommand {
  std::string image;
  std::string target;
};

struct CommandLine {
  std::optional<std::string> root;  // the simulated Mac's folder, standing for "/"
  bool json = false;
  std::variant<BackupCommand, RestoreCommand> command;
};

// What the user asked for help with: the text to print, then exit 0.
struct HelpRequest {
  std::string text;
};

// An argument list that cannot be run: one line saying why.
struct UsageError {
  std::string message;
};

using ParsedCommandLine = std::variant<CommandLine, HelpRequest, UsageError>;

// `arguments` without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);
