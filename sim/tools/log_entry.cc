#include "sim/tools/log_entry.h"

#include <array>
#include <istream>
#include <utility>

namespace sim::tools {
namespace {

constexpr std::array<std::string_view, 5> kLevels = {"Default", "Info", "Debug", "Error", "Fault"};

// "2026-12-06 16:45:33.123456+0000"
constexpr size_t kTimestampLength = 31;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number written by `count` digits at `text[at]`, or -1.
int Digits(std::string_view text, size_t at, size_t count) {
  int value = 0;
  for (size_t index = at; index < at + count; ++index) {
    if (!IsDigit(text[index])) return -1;
    value = value * 10 + (text[index] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The moment of a timestamp in microseconds since 1970, or nothing.
std::optional<int64_t> ParseTimestamp(std::string_view text) {
  if (text.size() != kTimestampLength) return std::nullopt;
  static constexpr std::pair<size_t, char> kSeparators[] = {{4, '-'},  {7, '-'},  {10, ' '},
                                                            {13, ':'}, {16, ':'}, {19, '.'}};
  for (const auto& [at, separator] : kSeparators) {
    if (text[at] != separator) return std::nullopt;
  }
  const int year = Digits(text, 0, 4);
  const int month = Digits(text, 5, 2);
  const int day = Digits(text, 8, 2);
  const int hour = Digits(text, 11, 2);
  const int minute = Digits(text, 14, 2);
  const int second = Digits(text, 17, 2);
  const int microseconds = Digits(text, 20, 6);
  const char sign = text[26];
  const int offset_hours = Digits(text, 27, 2);
  const int offset_minutes = Digits(text, 29, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60 || microseconds < 0 ||
      (sign != '+' && sign != '-') || offset_hours < 0 || offset_hours > 23 || offset_minutes < 0 ||
      offset_minutes > 59) {
    return std::nullopt;
  }
  if (day > DaysInMonth(year, month)) return std::nullopt;
  int64_t seconds =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      hour * 3600 + minute * 60 + second;
  // The local time is ahead of UTC by the offset.
  const int64_t offset = offset_hours * 3600 + offset_minutes * 60;
  seconds -= sign == '+' ? offset : -offset;
  return seconds * 1000000 + microseconds;
}

}  // namespace

std::optional<LogEntry> ParseLogRecordLine(std::string_view line) {
  LogEntry entry;
  if (line.size() < kTimestampLength + 1 || line[kTimestampLength] != ' ') return std::nullopt;
  const std::optional<int64_t> time = ParseTimestamp(line.substr(0, kTimestampLength));
  if (!time) return std::nullopt;
  entry.timestamp = std::string(line.substr(0, kTimestampLength));
  entry.time = *time;
  std::string_view rest = line.substr(kTimestampLength + 1);

  const size_t host_end = rest.find(' ');
  if (host_end == 0 || host_end == std::string_view::npos) return std::nullopt;
  entry.host = std::string(rest.substr(0, host_end));
  rest.remove_prefix(host_end + 1);

  // "NAME[PID] (": the name may hold brackets and blanks itself, so the first "[digits] ("
  // ends it.
  size_t search = 0;
  size_t open = std::string_view::npos;
  size_t close = std::string_view::npos;
  while ((close = rest.find("] (", search)) != std::string_view::npos) {
    size_t digits = close;
    while (digits > 0 && IsDigit(rest[digits - 1]) && close - digits < 10) --digits;
    if (digits > 0 && digits < close && rest[digits - 1] == '[') {
      open = digits - 1;
      break;
    }
    search = close + 1;
  }
  if (open == std::string_view::npos || open == 0) return std::nullopt;
  entry.process = std::string(rest.substr(0, open));
  for (size_t at = open + 1; at < close; ++at) entry.pid = entry.pid * 10 + (rest[at] - '0');
  rest.remove_prefix(close + 3);

  // "PATH) <Level>: message": the first ") <Level>:" of a level the log writes ends the path.
  for (size_t end = rest.find(") <"); end != std::string_view::npos;
       end = rest.find(") <", end + 1)) {
    for (std::string_view level : kLevels) {
      const std::string_view after = rest.substr(end + 3);
      if (!after.starts_with(level) || after.substr(level.size(), 2) != ">:") continue;
      std::string_view message = after.substr(level.size() + 2);
      if (!message.empty() && message.front() == ' ') message.remove_prefix(1);
      entry.image_path = std::string(rest.substr(0, end));
      entry.level = std::string(level);
      entry.message = std::string(message);
      entry.text = std::string(line) + "\n";
      return entry;
    }
  }
  return std::nullopt;
}

bool LogReader::ReadLine(std::string* line) {
  if (!std::getline(in_, *line)) return false;
  // A log written on another system may end its lines with "\r\n".
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

std::optional<LogEntry> LogReader::Next() {
  std::optional<LogEntry> entry;
  std::string line;
  while (!entry) {
    if (pending_) {
      line = std::move(*pending_);
      pending_.reset();
    } else if (!ReadLine(&line)) {
      return std::nullopt;
    }
    entry = ParseLogRecordLine(line);
    if (!entry) ++skipped_lines_;
  }
  while (ReadLine(&line)) {
    if (line.empty() || line.front() != '\t') {
      pending_ = std::move(line);
      break;
    }
    entry->message += "\n";
    entry->message.append(line, 1);
    entry->text += line + "\n";
  }
  return entry;
}

}  // namespace sim::tools
