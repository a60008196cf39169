// Writing log messages: one line per message appended to the machine's system log.
//
// Every process of the system (the application, the helper, the command-line client and
// the disk tools of the simulated Mac) appends to the same file, so each line goes out in
// one write() on a descriptor opened with O_APPEND: the kernel then places every line whole
// at the end of the file, and lines of different threads and processes never mix.
//
// The file is opened for each message instead of keeping a descriptor. That costs an open
// and a close per line, and buys a log that follows the machine root when it changes, a
// file that is removed or rotated underneath us, and a log folder that appears after the
// process started, without any lock or shared state between threads.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "platform/libc.h"
#include "platform/posix/posix_error.h"

namespace mcom::log {
namespace {

constexpr char kLogPath[] = "/private/var/log/system.log";

std::atomic<bool> mirror_to_standard_error{false};

struct ProcessIdentity {
  std::string name;        // the executable's file name: "dorvane"
  std::string image_path;  // the executable's path
};

// Read once: the executable of a process does not change while it runs (a fork keeps it,
// an exec starts afresh).
const ProcessIdentity& Identity() {
  static const ProcessIdentity identity = [] {
    ProcessIdentity found;
    if (platform::ExecutablePathOfProcess(::getpid(), &found.image_path)) {
      found.image_path.clear();
    }
    const size_t slash = found.image_path.rfind('/');
    found.name = slash == std::string::npos ? found.image_path : found.image_path.substr(slash + 1);
    if (found.name.empty()) found.name = "unknown";
    return found;
  }();
  return identity;
}

std::string_view LevelName(Level level) {
  switch (level) {
    case Level::kDefault:
      return "Default";
    case Level::kInfo:
      return "Info";
    case Level::kDebug:
      return "Debug";
    case Level::kError:
      return "Error";
    case Level::kFault:
      return "Fault";
  }
  return "Default";
}

// "2026-12-06 16:45:33.123456+0000": the current time in UTC with microseconds.
void AppendTimestamp(std::string* line) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts {};
  ::gmtime_r(&now.tv_sec, &parts);
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06ld+0000",
                                   parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                   parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000);
  if (length > 0) line->append(text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

// The message with every line break ("\n", "\r\n" or a lone "\r") turned into "\n\t", so
// that only the first line of a record starts at the left margin and a reader can tell
// records apart. Line breaks at the end are dropped: they would only make empty lines.
void AppendMessage(std::string_view message, std::string* line) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.remove_suffix(1);
  }
  for (size_t i = 0; i < message.size(); ++i) {
    const char c = message[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
      line->append("\n\t");
    } else {
      line->push_back(c);
    }
  }
}

std::string RecordLine(Level level, std::string_view message) {
  const ProcessIdentity& identity = Identity();
  std::string line;
  line.reserve(96 + identity.name.size() + identity.image_path.size() + message.size());
  AppendTimestamp(&line);
  line.append(" localhost ");
  line.append(identity.name);
  line.push_back('[');
  char pid[16];
  const int pid_length = std::snprintf(pid, sizeof pid, "%d", static_cast<int>(::getpid()));
  if (pid_length > 0) line.append(pid, static_cast<size_t>(pid_length));
  line.append("] (");
  line.append(identity.image_path);
  line.append(") <");
  line.append(LevelName(level));
  line.append(">: ");
  AppendMessage(message, &line);
  line.push_back('\n');
  return line;
}

// Writes the whole line. A short write (a full disk, a signal in the middle of a large
// write) is continued so the record still ends with its line break; any failure gives up.
void WriteLine(int fd, const std::string& line) {
  const char* next = line.data();
  size_t remaining = line.size();
  while (remaining > 0) {
    const ssize_t written = RetryOnInterrupt([&] { return ::write(fd, next, remaining); });
    if (written < 0) return;
    next += written;
    remaining -= static_cast<size_t>(written);
  }
}

void AppendToSystemLog(const std::string& line) {
  const FilePath path = SystemPath(kLogPath);
  // O_NONBLOCK keeps a FIFO put in the log's place from blocking the open; it changes
  // nothing for a regular file. A missing folder is not created: without it the message
  // is lost, as the header promises.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return;
  WriteLine(fd, line);
  ::close(fd);
}

}  // namespace

void Write(Level level, const char* format, std::initializer_list<Argument> arguments) noexcept {
  // Callers log an errno and then look at it again; logging must not change it.
  const int saved_errno = errno;
  // Called on failure paths everywhere: nothing may escape, not even a failed allocation.
  try {
    const std::string line = RecordLine(level, Render(format, arguments));
    AppendToSystemLog(line);
    if (mirror_to_standard_error.load(std::memory_order_relaxed)) {
      WriteLine(STDERR_FILENO, line);
    }
  } catch (...) {
  }
  errno = saved_errno;
}

bool IsEnabled(Level) { return true; }

void SetMirrorToStandardError(bool mirror) {
  mirror_to_standard_error.store(mirror, std::memory_order_relaxed);
}

}  // namespace mcom::log
