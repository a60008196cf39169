#pragma once

// The system log, in the style of the platform's os_log: one default log object, four
// levels, and printf-style format strings with the system log's annotations:
//
//   mcom::log::Error("removefile recursive failed for %s: %{darwin.errno}d", path, errno);
//   mcom::log::Info("launched. timestamp: %{time_t}ld, ppid: %d", signed_at, getppid());
//
// Annotations, written between "%" and the conversion:
//   {public}          the value as it is; {private} and {sensitive} render "<private>"
//   {bool}, {BOOL}    "true"/"false", "YES"/"NO"
//   {darwin.errno}, {errno}
//                     "[2: No such file or directory]"
//   {time_t}          the time in seconds since 1970 as "2026-12-06 16:45:33+0000"
//   {darwin.signal}   "[9: Killed]"
// Several may be given, separated by commas ("%{public, bool}d"); unknown ones are ignored.
// Values without an annotation are rendered as they are. "%@" takes a string (the
// description of an object). A missing argument renders "<missing>"; extra ones are ignored.
//
// The argument's own type decides how it is read, never the conversion: a number given for
// "%s" shows its decimal text, a string given for "%d" shows the string, and a length
// modifier ("l", "ll", "z", "h", ...) only decides how many bits a negative number takes when
// it is shown unsigned ("%x" of -1 is "ffffffff", "%lx" of -1 is "ffffffffffffffff").
// Text that is not a complete conversion ("%" at the end, "%{public" without "}", "%k",
// "%n") stays as it was written. Widths and precisions are limited to 1024.
//
// Each message becomes one line appended to the machine's "/private/var/log/system.log"
// (under the machine root; see system_path.h):
//
//   2026-12-06 16:45:33.123456+0000 localhost dorvane[4242] (/usr/bin/dorvane) <Error>: text
//
// with the time (UTC, microseconds), host, process name, process id, the executable's path,
// the level and the message; line breaks inside a message ("\n", "\r\n", "\r") continue on
// a line that starts with a tab, and line breaks at its end are dropped. The log folder is
// never created: without it the message is lost. When asked, the same line also goes to
// standard error. Logging leaves errno as it was.
//
// Logging never throws and never blocks the caller for longer than one write to a local
// file: a log that cannot be written loses the message.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/foundation/file_path.h"

namespace mcom::log {

enum class Level { kDefault, kInfo, kDebug, kError, kFault };

// One argument of a message. It refers to the caller's value, which must live until the
// logging call returns.
class Argument {
 public:
  enum class Kind { kSigned, kUnsigned, kDouble, kString, kPointer };

  template <typename T>
  requires std::is_integral_v<T> || std::is_enum_v<T> Argument(
      T value) {  // NOLINT: implicit by design
    if constexpr (std::is_same_v<T, bool>) {
      kind_ = Kind::kSigned;
      signed_ = value ? 1 : 0;
    } else if constexpr (std::is_enum_v<T>) {
      kind_ = Kind::kSigned;
      signed_ = static_cast<int64_t>(value);
    } else if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::kSigned;
      signed_ = value;
    } else {
      kind_ = Kind::kUnsigned;
      unsigned_ = value;
    }
  }
  Argument(double value) : kind_(Kind::kDouble), double_(value) {}
  Argument(const char* value) : kind_(Kind::kString), string_(value ? value : "(null)") {}
  Argument(const std::string& value) : kind_(Kind::kString), string_(value) {}
  Argument(std::string_view value) : kind_(Kind::kString), string_(value) {}
  Argument(const FilePath& value) : kind_(Kind::kString), string_(value.string()) {}
  Argument(const void* value) : kind_(Kind::kPointer), pointer_(value) {}

  // The value read as another kind: numbers convert between each other (a double out of
  // range is clamped, NaN is 0), a pointer reads as its address, a string reads as 0.
  Kind kind() const { return kind_; }
  int64_t as_signed() const;
  uint64_t as_unsigned() const;
  double as_double() const;
  // Numbers are rendered in decimal (a double in its shortest exact form, "0.1"), a pointer
  // as "0x" and hexadecimal digits. The text of a number lives as long as this Argument.
  std::string_view as_string() const;
  const void* as_pointer() const { return kind_ == Kind::kPointer ? pointer_ : nullptr; }

 private:
  Kind kind_;
  union {
    int64_t signed_;
    uint64_t unsigned_;
    double double_;
    const void* pointer_;
  };
  std::string_view string_;
  mutable std::string rendered_;  // the decimal text of a number asked for as a string
};

// The message text of `format` with `arguments`, as the system log renders it.
std::string Render(const char* format, std::initializer_list<Argument> arguments);

// Appends one message at `level`. Never throws.
void Write(Level level, const char* format, std::initializer_list<Argument> arguments) noexcept;

// Whether messages of `level` are recorded (they all are; callers that build expensive
// arguments may ask).
bool IsEnabled(Level level);

// Also write every line to standard error (command-line tools use it for --verbose).
void SetMirrorToStandardError(bool mirror);

template <typename... Args>
void Default(const char* format, const Args&... arguments) noexcept {
  Write(Level::kDefault, format, {Argument(arguments)...});
}
template <typename... Args>
void Info(const char* format, const Args&... arguments) noexcept {
  Write(Level::kInfo, format, {Argument(arguments)...});
}
template <typename... Args>
void Debug(const char* format, const Args&... arguments) noexcept {
  Write(Level::kDebug, format, {Argument(arguments)...});
}
template <typename... Args>
void Error(const char* format, const Args&... arguments) noexcept {
  Write(Level::kError, format, {Argument(arguments)...});
}

}  // namespace mcom::log
