#pragma once

// The records of the machine's system log, "/private/var/log/system.log", as the
// foundation's logger writes them (core/foundation/log.h):
//
//   2026-12-06 16:45:33.123456+0000 localhost dorvane[4242] (/usr/bin/dorvane) <Error>: text
//   	a second line of the same message
//
// The log is written by every process of the machine, so it is read as outside input: any
// line that is not a record or the continuation of one is skipped, never trusted.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace sim::tools {

struct LogEntry {
  std::string timestamp;  // "2026-12-06 16:45:33.123456+0000", as written
  int64_t time = 0;       // the same moment in microseconds since 1970-01-01 00:00 UTC
  std::string host;       // "localhost"
  std::string process;    // the executable's name: "dorvane"
  int64_t pid = 0;
  std::string image_path;  // the executable's path
  std::string level;       // "Default", "Info", "Debug", "Error" or "Fault"
  // The message with its continuation lines joined by "\n" (the tabs that mark them in the
  // log removed): the text the process logged.
  std::string message;
  // The record as the log holds it: its lines, each ending in "\n".
  std::string text;
};

// Parses the first line of a record (without its line break). Nothing for a line of any
// other shape: a timestamp that is not a valid date and time in exactly the form above, a
// missing part, a level the log does not write.
std::optional<LogEntry> ParseLogRecordLine(std::string_view line);

// Reads the records of a log in order, one at a time. Lines starting with a tab continue the
// record before them; other lines that are not records, and continuation lines with no
// record before them, are skipped and counted.
class LogReader {
 public:
  explicit LogReader(std::istream& in) : in_(in) {}

  // The next record; nothing at the end of the log.
  std::optional<LogEntry> Next();

  size_t skipped_lines() const { return skipped_lines_; }

 private:
  bool ReadLine(std::string* line);

  std::istream& in_;
  std::optional<std::string> pending_;  // a record's first line read ahead
  size_t skipped_lines_ = 0;
};

}  // namespace sim::tools
