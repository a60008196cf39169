// log: the machine's system log ("/private/var/log/system.log" under the root, written by
// the foundation's logger; log_entry.h).
//
//   log show [--predicate P] [--style syslog] [--info] [--debug] [--last T]
//       prints the records that match the predicate P (log_predicate.h) in the syslog style
//       of the real tool,
//         2026-12-06 16:45:33.123456+0000  localhost dorvane[4242]: message
//       after the real tool's header lines ("Filtering the log data using "P"" with P in its
//       canonical form, a note on skipped levels, the column titles) and before its
//       summary of the records shown per level. Info records are shown with --info, debug
//       records with --debug (which brings info records too), the others always. A
//       malformed predicate is refused: "log: Invalid predicate: <reason>", status 1.
//   log collect --output PATH [--last T]
//       writes PATH, a new folder (a ".logarchive" by convention) holding "system.log", the
//       log's records as written, and "Info.plist", a small XML property list: "Source"
//       (the log's Mac path), "LogFile" ("system.log"), "StartDate" and "EndDate" (the
//       window collected), "RecordCount". The folder is made under a temporary name beside
//       PATH and renamed into place when complete; an existing PATH is refused.
//
// T is a window ending now: Nm, Nh or Nd (minutes, hours, days; N from 0 to 9999999).
// Without --last the whole log is read. Options may come in any order; anything else gets
// the usage message and status 1.
//
// Fault-injection hooks (injected_failure.h): fail-before-start, fail-at-start (before the
// log is read) or fail-at-exit (after all the work: everything printed, the archive in
// place).
//   log.show      `log show`, usual message "Could not read the system log"
//   log.collect   `log collect`, usual message "Could not create PATH"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <set>

#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/file.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/log_entry.h"
#include "sim/tools/log_predicate.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

namespace cf = mcom::cf;

constexpr const char* kUsage =
    "log show [--predicate PREDICATE] [--style syslog] [--info] [--debug] [--last Nm|Nh|Nd]\n"
    "       log collect --output PATH [--last Nm|Nh|Nd]";
constexpr const char* kSystemLog = "/private/var/log/system.log";
constexpr const char* kArchivedLogName = "system.log";
constexpr int64_t kMicrosecondsPerSecond = 1000000;

using Options = std::map<std::string, std::string>;

// The options after the verb: each of `with_value` takes the next argument, each of `flags`
// stands alone; none may be repeated. Nothing for anything else.
std::optional<Options> ParseOptions(const std::vector<std::string>& arguments,
                                    const std::set<std::string>& with_value,
                                    const std::set<std::string>& flags) {
  Options options;
  for (size_t index = 1; index < arguments.size(); ++index) {
    const std::string& option = arguments[index];
    std::string value;
    if (with_value.contains(option)) {
      if (index + 1 >= arguments.size()) return std::nullopt;
      value = arguments[++index];
    } else if (!flags.contains(option)) {
      return std::nullopt;
    }
    if (!options.emplace(option, std::move(value)).second) return std::nullopt;
  }
  return options;
}

// The length of a window "Nm", "Nh" or "Nd" in microseconds.
std::optional<int64_t> ParseWindow(std::string_view text) {
  if (text.size() < 2 || text.size() > 8) return std::nullopt;
  int64_t count = 0;
  const std::string_view digits = text.substr(0, text.size() - 1);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc() || end != digits.data() + digits.size() || count < 0) {
    return std::nullopt;
  }
  switch (text.back()) {
    case 'm':
      return count * 60 * kMicrosecondsPerSecond;
    case 'h':
      return count * 3600 * kMicrosecondsPerSecond;
    case 'd':
      return count * 86400 * kMicrosecondsPerSecond;
  }
  return std::nullopt;
}

int64_t NowInMicroseconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * kMicrosecondsPerSecond + now.tv_nsec / 1000;
}

// The start of the window of a --last option (the earliest moment of a record to read),
// or of the whole log without one. False for a malformed window.
bool WindowStart(const Options& options, int64_t now, int64_t* start) {
  *start = INT64_MIN;
  const auto last = options.find("--last");
  if (last == options.end()) return true;
  const std::optional<int64_t> length = ParseWindow(last->second);
  if (!length) return false;
  *start = now - *length;
  return true;
}

std::string Padded(int64_t value, int width) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), ' ');
  return text;
}

using Point = InjectedFailure::Point;

int Show(ToolContext& context, const Options& options,
         const std::optional<InjectedFailure>& failure) {
  constexpr std::string_view kUsualFailure = "Could not read the system log";
  const auto style = options.find("--style");
  if (style != options.end() && style->second != "syslog") return context.UsageError(kUsage);
  int64_t start = 0;
  if (!WindowStart(options, NowInMicroseconds(), &start)) return context.UsageError(kUsage);
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;

  std::optional<LogPredicate> predicate;
  if (const auto text = options.find("--predicate"); text != options.end()) {
    PredicateError error;
    predicate = LogPredicate::Parse(text->second, &error);
    if (!predicate) return context.Fail("Invalid predicate: " + error.message);
  }
  const bool debug = options.contains("--debug");
  const bool info = debug || options.contains("--info");

  std::ifstream log(mcom::SystemPath(kSystemLog).string(), std::ios::binary);
  if (!log) {
    return context.Fail(std::string("Could not open the system log: ") + std::strerror(errno));
  }

  std::ostream& out = context.out();
  if (predicate) out << "Filtering the log data using \"" << predicate->Format() << "\"\n";
  if (!info) {
    out << "Skipping info and debug messages, pass --info and/or --debug to include.\n";
  } else if (!debug) {
    out << "Skipping debug messages, pass --debug to include.\n";
  }
  out << "Timestamp                       (process)[PID]\n";

  std::map<std::string, int64_t> shown;
  LogReader reader(log);
  while (std::optional<LogEntry> entry = reader.Next()) {
    if (entry->time < start) continue;
    if ((entry->level == "Info" && !info) || (entry->level == "Debug" && !debug)) continue;
    if (predicate && !predicate->Matches(*entry)) continue;
    out << entry->timestamp << "  " << entry->host << " " << entry->process << "[" << entry->pid
        << "]: " << entry->message << "\n";
    ++shown[entry->level];
  }
  const std::string summary =
      "Log      - Default: " + Padded(shown["Default"], 10) +
      ", Info: " + Padded(shown["Info"], 16) + ", Debug: " + Padded(shown["Debug"], 13) +
      ", Error: " + Padded(shown["Error"], 10) + ", Fault: " + Padded(shown["Fault"], 10);
  out << std::string(summary.size(), '-') << "\n"
      << summary << "\n"
      << "Activity - Create: " << Padded(0, 11) << ", Transition: " << Padded(0, 10)
      << ", Actions: " << Padded(0, 11) << "\n";
  if (!out.flush()) return 1;
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Writes all of `bytes` into the new file `path`.
std::error_code WriteNewFile(const mcom::FilePath& path, std::string_view bytes) {
  mcom::Result<mcom::File> file = mcom::Open(
      path, mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive | mcom::OpenMode(0644));
  if (!file) return file.error();
  if (std::error_code error = file->WriteAll(bytes.data(), bytes.size())) return error;
  return file->Close();
}

// Copies the records of `log` from `start` on into the new file `path`, as written, and
// counts them.
std::error_code CopyRecords(std::istream& log, int64_t start, const mcom::FilePath& path,
                            int64_t* count) {
  constexpr size_t kChunk = 64 * 1024;
  mcom::Result<mcom::File> file = mcom::Open(
      path, mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive | mcom::OpenMode(0644));
  if (!file) return file.error();
  std::string pending;
  LogReader reader(log);
  while (std::optional<LogEntry> entry = reader.Next()) {
    if (entry->time < start) continue;
    pending += entry->text;
    ++*count;
    if (pending.size() >= kChunk) {
      if (std::error_code error = file->WriteAll(pending.data(), pending.size())) return error;
      pending.clear();
    }
  }
  if (log.bad()) return std::make_error_code(std::errc::io_error);
  if (std::error_code error = file->WriteAll(pending.data(), pending.size())) return error;
  return file->Close();
}

cf::Ref<cf::Object> ArchiveInfo(int64_t start, int64_t end, int64_t records) {
  auto info = cf::MutableDictionary::Create();
  info->SetValue("Source", cf::String::Create(kSystemLog));
  info->SetValue("LogFile", cf::String::Create(kArchivedLogName));
  if (start != INT64_MIN) {
    info->SetValue("StartDate", cf::Date::CreateFromSecondsSince1970(
                                    static_cast<double>(start / kMicrosecondsPerSecond)));
  }
  info->SetValue("EndDate", cf::Date::CreateFromSecondsSince1970(
                                static_cast<double>(end / kMicrosecondsPerSecond)));
  info->SetValue("RecordCount", cf::Number::CreateInteger(records));
  return info;
}

int Collect(ToolContext& context, const Options& options,
            const std::optional<InjectedFailure>& failure) {
  const auto output = options.find("--output");
  if (output == options.end() || output->second.empty()) return context.UsageError(kUsage);
  const int64_t now = NowInMicroseconds();
  int64_t start = 0;
  if (!WindowStart(options, now, &start)) return context.UsageError(kUsage);
  const std::string& destination = output->second;
  const std::string usual_failure = "Could not create " + destination;
  if (auto status = FailIfAt(context, failure, Point::kAtStart, usual_failure)) return *status;

  struct stat status {};
  if (::lstat(destination.c_str(), &status) == 0) {
    return context.Fail(ErrnoText("Could not create archive at " + destination, EEXIST));
  }
  std::ifstream log(mcom::SystemPath(kSystemLog).string(), std::ios::binary);
  if (!log) return context.Fail(ErrnoText("Could not open the system log", errno));

  // Made whole under a temporary name beside the destination, then renamed into place.
  const mcom::FilePath final_path(destination);
  std::string hidden_name(".");
  hidden_name.append(final_path.LastComponent()).append(".XXXXXX");
  std::string temporary = final_path.Parent().Join(hidden_name).string();
  if (::mkdtemp(temporary.data()) == nullptr) {
    return context.Fail(ErrnoText("Could not create archive at " + destination, errno));
  }
  const mcom::FilePath folder(temporary);
  const mcom::FilePath log_copy = folder.Join(kArchivedLogName);
  const mcom::FilePath info_file = folder.Join("Info.plist");
  mcom::ScopeExit remove_folder([&] {
    ::unlink(log_copy.c_str());
    ::unlink(info_file.c_str());
    ::rmdir(folder.c_str());
  });
  ::chmod(folder.c_str(), 0755);

  int64_t count = 0;
  if (std::error_code error = CopyRecords(log, start, log_copy, &count)) {
    return context.Fail(ErrnoText(log_copy.string(), error.value()));
  }
  const cf::Ref<cf::Data> info =
      cf::PropertyListToData(ArchiveInfo(start, now, count), cf::PropertyListFormat::kXML);
  if (!info) return context.Fail("Could not write " + info_file.string());
  if (std::error_code error = WriteNewFile(info_file, info->AsStringView())) {
    return context.Fail(ErrnoText(info_file.string(), error.value()));
  }
  if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) != 0) {
    return context.Fail(ErrnoText("Could not create archive at " + destination, errno));
  }
  remove_folder.Dismiss();
  if (auto failed = FailIfAt(context, failure, Point::kAtExit, usual_failure)) return *failed;
  return 0;
}

}  // namespace

int RunLog(ToolContext& context) {
  const std::vector<std::string>& arguments = context.arguments();
  if (arguments.empty()) return context.UsageError(kUsage);
  if (arguments[0] == "show") {
    const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "show"));
    if (auto status =
            FailIfAt(context, failure, Point::kBeforeStart, "Could not read the system log")) {
      return *status;
    }
    const auto options =
        ParseOptions(arguments, {"--predicate", "--style", "--last"}, {"--info", "--debug"});
    if (!options) return context.UsageError(kUsage);
    return Show(context, *options, failure);
  }
  if (arguments[0] == "collect") {
    const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "collect"));
    if (auto status = FailIfAt(context, failure, Point::kBeforeStart, "Could not create archive")) {
      return *status;
    }
    const auto options = ParseOptions(arguments, {"--output", "--last"}, {});
    if (!options) return context.UsageError(kUsage);
    return Collect(context, *options, failure);
  }
  return context.UsageError(kUsage);
}

}  // namespace sim::tools
