// Fuzz target for what `log show` reads from outside: the predicate of its command line and
// the records of the machine's system log. The first line of the input is the predicate, the
// rest is the log. For any input nothing may crash, hang or leak, and:
//
//   - a record's first line, parsed again, gives the same record;
//   - a predicate that parses formats to a text that parses to the same predicate (same
//     text again, same answer for every record), unless the formatted text is too large;
//   - "NOT (P)" answers the opposite of P for every record.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/tools/log_entry.h"
#include "sim/tools/log_predicate.h"

namespace {

using sim::tools::LogEntry;
using sim::tools::LogPredicate;
using sim::tools::PredicateError;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "log_predicate_fuzzer: %s\n", what);
  std::abort();
}

std::vector<LogEntry> ReadEntries(std::string_view text) {
  std::istringstream in{std::string(text)};
  sim::tools::LogReader reader(in);
  std::vector<LogEntry> entries;
  while (std::optional<LogEntry> entry = reader.Next()) {
    const std::string_view first_line =
        std::string_view(entry->text).substr(0, entry->text.find('\n'));
    const std::optional<LogEntry> again = sim::tools::ParseLogRecordLine(first_line);
    if (!again || again->time != entry->time || again->process != entry->process ||
        again->pid != entry->pid || again->image_path != entry->image_path ||
        again->level != entry->level || again->host != entry->host) {
      Fail("a record's first line reads back as another record");
    }
    entries.push_back(std::move(*entry));
  }
  return entries;
}

void CheckPredicate(const LogPredicate& predicate, const std::vector<LogEntry>& entries) {
  const std::string formatted = predicate.Format();
  PredicateError error;
  const std::optional<LogPredicate> again = LogPredicate::Parse(formatted, &error);
  if (!again) {
    if (error.too_large) return;
    Fail("the formatted predicate does not parse");
  }
  if (again->Format() != formatted) Fail("formatting the predicate again gives another text");
  const std::optional<LogPredicate> negated =
      LogPredicate::Parse("NOT (" + formatted + ")", &error);
  for (const LogEntry& entry : entries) {
    const bool matches = predicate.Matches(entry);
    if (again->Matches(entry) != matches) Fail("the formatted predicate answers differently");
    if (negated && negated->Matches(entry) == matches) Fail("NOT does not negate");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t line_end = input.find('\n');
  const std::string_view predicate_text = input.substr(0, line_end);
  const std::string_view log_text =
      line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);

  const std::vector<LogEntry> entries = ReadEntries(log_text);
  PredicateError error;
  const std::optional<LogPredicate> predicate = LogPredicate::Parse(predicate_text, &error);
  if (!predicate) {
    if (error.message.empty()) Fail("a predicate was refused without a reason");
    return 0;
  }
  CheckPredicate(*predicate, entries);
  return 0;
}
