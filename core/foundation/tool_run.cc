#include "core/foundation/tool_run.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "core/foundation/process.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"
#include "platform/posix/child_process.h"
#include "platform/posix/posix_error.h"

namespace mcom {
namespace {

// Every read of a run goes into one block of this size, reused.
constexpr size_t kReadBufferSize = 131072;

std::unique_ptr<char[]> MakeReadBuffer() {
  return std::make_unique_for_overwrite<char[]>(kReadBufferSize);
}

// Closes a descriptor whatever close() says. On Linux the descriptor is gone even when
// close() fails, so keeping it (as File::Close does then) would only risk closing a reused
// number later.
void Discard(File& file) { file = File(); }

void Append(std::vector<char>& bytes, const char* chunk, size_t length) {
  bytes.insert(bytes.end(), chunk, chunk + length);
}

// Closes the parent's read ends of a started child and waits for it: explicitly at the end of
// a run, or when the run is left by an exception. The read ends go first, so that a child
// still writing into a full pipe fails instead of blocking the wait forever.
class ChildReaper {
 public:
  ChildReaper(pid_t pid, File* output, File* other_output = nullptr)
      : child_(pid, ChildProcess::WhenDestroyed::kWait), outputs_{output, other_output} {}
  ~ChildReaper() {
    if (child_) (void)Wait();
  }
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  std::error_code Wait() {
    for (File* output : outputs_) {
      if (output != nullptr) Discard(*output);
    }
    return child_.Wait();
  }

 private:
  ChildProcess child_;
  File* outputs_[2];
};

// Reads the error stream until a read returns 0 or fails.
void ReadErrorStream(const File& error, char* buffer, ErrorReadFailure on_read_failure,
                     std::vector<char>& text) {
  for (;;) {
    const Result<size_t> count = error.Read(buffer, kReadBufferSize);
    if (!count) {
      if (on_read_failure == ErrorReadFailure::kDiscardText) text.clear();
      return;
    }
    if (*count == 0) return;
    Append(text, buffer, *count);
  }
}

// Reads both streams as data arrives until both have ended. Standard output is read first
// in each turn. Returns the error of a failed standard-output read (or of a failed wait for
// data); a failed standard-error read only ends that stream, keeping what it said so far.
std::error_code ReadBothStreams(File& output, File& error, char* buffer, ToolRun& run) {
  while (output.IsValid() || error.IsValid()) {
    // poll() skips entries with a negative descriptor, which is what an ended stream holds.
    pollfd ready[2] = {{output.get(), POLLIN, 0}, {error.get(), POLLIN, 0}};
    if (RetryOnInterrupt([&] { return ::poll(ready, 2, -1); }) < 0) return LastError();
    if (ready[0].revents != 0) {
      const Result<size_t> count = output.Read(buffer, kReadBufferSize);
      if (!count) return count.error();
      if (*count == 0) {
        Discard(output);
      } else {
        Append(run.standard_output, buffer, *count);
      }
    }
    if (ready[1].revents != 0) {
      const Result<size_t> count = error.Read(buffer, kReadBufferSize);
      if (!count || *count == 0) {
        Discard(error);
      } else {
        Append(run.standard_error, buffer, *count);
      }
    }
  }
  return {};
}

// Word characters that mean nothing to /bin/sh anywhere in a word.
constexpr std::string_view kPlainShellCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./-_";

std::string QuotedForShell(const std::string& word) {
  if (!word.empty() && word.find_first_not_of(kPlainShellCharacters) == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (const char character : word) {
    // A single quote cannot appear inside single quotes: end the quoted part, add an
    // escaped quote, and start a new quoted part.
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace

Result<ToolRun> RunCapturingStandardError(const char* tool,
                                          const std::vector<std::string>& arguments,
                                          ErrorReadFailure on_read_failure) {
  const std::unique_ptr<char[]> buffer = MakeReadBuffer();
  Pipe error = CreatePipe().value();
  FileActions actions;
  if (std::error_code failure = actions.AddDuplicate(error.write.get(), STDERR_FILENO)) {
    return failure;
  }
  const Result<pid_t> pid = SpawnProcess(SystemPath(tool).c_str(), arguments, actions);
  if (!pid) return pid.error();
  ChildReaper child(*pid, &error.read);
  // Only the child may hold a write end, or reading would never see the end of data.
  Discard(error.write);

  ToolRun run;
  ReadErrorStream(error.read, buffer.get(), on_read_failure, run.standard_error);
  run.exit_status = child.Wait();
  return run;
}

Result<ToolRun> RunCapturingBothStreams(const char* tool,
                                        const std::vector<std::string>& arguments) {
  const std::unique_ptr<char[]> buffer = MakeReadBuffer();
  Pipe output = CreatePipe().value();
  Pipe error = CreatePipe().value();
  FileActions actions;
  if (std::error_code failure = actions.AddDuplicate(output.write.get(), STDOUT_FILENO)) {
    return failure;
  }
  if (std::error_code failure = actions.AddDuplicate(error.write.get(), STDERR_FILENO)) {
    return failure;
  }
  const Result<pid_t> pid = SpawnProcess(SystemPath(tool).c_str(), arguments, actions);
  if (!pid) return pid.error();
  ChildReaper child(*pid, &output.read, &error.read);
  Discard(output.write);
  Discard(error.write);

  ToolRun run;
  run.output_read_error = ReadBothStreams(output.read, error.read, buffer.get(), run);
  run.exit_status = child.Wait();
  return run;
}

Result<LineReadingTool> LineReadingTool::Start(const char* tool,
                                               const std::vector<std::string>& arguments) {
  Pipe output = CreatePipe().value();
  FileActions actions;
  if (std::error_code failure = actions.AddDuplicate(output.write.get(), STDOUT_FILENO)) {
    return failure;
  }
  const Result<pid_t> pid = SpawnProcess(SystemPath(tool).c_str(), arguments, actions);
  if (!pid) return pid.error();
  Discard(output.write);
  return LineReadingTool(*pid, std::move(output.read));
}

LineReadingTool::LineReadingTool(pid_t pid, File output)
    : child_(pid, ChildProcess::WhenDestroyed::kWait), output_(std::move(output)) {
  ScopeFail close_output([&] { Discard(output_); });  // before the child is waited for
  stoppable_ = std::make_unique<StoppableChild>(pid);
}

LineReadingTool::LineReadingTool(LineReadingTool&& other) noexcept
    : child_(std::move(other.child_)),
      output_(std::move(other.output_)),
      unread_(std::exchange(other.unread_, {})),
      stoppable_(std::move(other.stoppable_)) {}

LineReadingTool& LineReadingTool::operator=(LineReadingTool&& other) noexcept {
  if (this != &other) {
    if (child_) (void)Wait();
    child_ = std::move(other.child_);
    output_ = std::move(other.output_);
    unread_ = std::exchange(other.unread_, {});
    stoppable_ = std::move(other.stoppable_);
  }
  return *this;
}

LineReadingTool::~LineReadingTool() {
  if (child_) (void)Wait();
}

std::optional<std::string> LineReadingTool::ReadLine() {
  std::array<char, 4096> chunk;  // the tool's lines are short
  for (;;) {
    if (const size_t end = unread_.find('\n'); end != std::string::npos) {
      std::string line = unread_.substr(0, end);
      unread_.erase(0, end + 1);
      return line;
    }
    if (!output_.IsValid()) break;
    // The wait for output is a poll(), never a blocking read(): poll() is not restarted after
    // a signal handler, so an interruption always gets to stop the tool, whose output then
    // ends. (A runtime that runs handlers only at its own safe points, as ThreadSanitizer
    // does, would otherwise never run it while a restarted read() waits on a held tool.)
    pollfd ready = {output_.get(), POLLIN, 0};
    if (RetryOnInterrupt([&] { return ::poll(&ready, 1, -1); }) < 0) {
      Discard(output_);
      break;
    }
    const Result<size_t> count = output_.Read(chunk.data(), chunk.size());
    if (!count || *count == 0) {
      Discard(output_);
      break;
    }
    unread_.append(chunk.data(), *count);
  }
  if (unread_.empty()) return std::nullopt;
  return std::exchange(unread_, {});
}

std::error_code LineReadingTool::Wait() {
  if (!child_) return std::error_code(ECHILD, std::system_category());
  // Closing the output first: a tool that still writes then fails on the closed pipe and
  // ends, instead of blocking on a pipe nobody reads.
  Discard(output_);
  const std::error_code status = child_.Wait();
  stoppable_.reset();  // its pid may be reused from here on
  return status;
}

std::string ShellCommand(const char* tool, const std::vector<std::string>& arguments) {
  std::string command = QuotedForShell(SystemPath(tool).string());
  for (const std::string& argument : arguments) {
    command += ' ';
    command += QuotedForShell(argument);
  }
  return command;
}

std::string ToolText(const std::vector<char>& bytes) {
  size_t end = bytes.size();
  while (end > 0 && std::isspace(static_cast<unsigned char>(bytes[end - 1]))) --end;
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace mcom
