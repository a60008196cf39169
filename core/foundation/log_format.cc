// Rendering of log messages: the printf-style conversions and the system log's annotations.
//
// The renderer is forgiving by design. A log line is written on paths that are already
// failing, often with format strings and arguments that nobody has seen together in a test,
// so every mismatch renders something readable instead of crashing or reading a value of
// the wrong type: the argument's own kind decides how it is shown, length modifiers only
// decide how wide a negative number is when it is shown as unsigned, and text that is not a
// conversion stays as it was written.

#include <string.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <system_error>

#include "core/foundation/log.h"

namespace mcom::log {
namespace {

// Widths and precisions beyond this are clamped, so a stray "%999999999d" cannot turn one
// message into a gigabyte.
constexpr int kMaxFieldWidth = 1024;

constexpr std::string_view kMissing = "<missing>";
constexpr std::string_view kPrivate = "<private>";

// The annotation that decides how a value is shown, when one is given.
enum class Annotation { kNone, kBool, kUpperBool, kErrno, kTime, kSignal };

struct Conversion {
  bool left_align = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero_pad = false;
  int width = 0;
  int precision = -1;  // -1: none given
  // The bit width a length modifier names ("hh" 8, "h" 16, none 32, "l" and longer 64).
  int bits = 32;
  char conversion = 0;
  bool is_private = false;
  Annotation annotation = Annotation::kNone;
};

bool IsIntegerConversion(char c) { return std::strchr("diuxXoc", c) != nullptr; }
bool IsFloatConversion(char c) { return std::strchr("fFeEgGaA", c) != nullptr; }
bool IsStringConversion(char c) { return c == 's' || c == '@'; }
bool IsConversion(char c) {
  return c != '\0' &&
         (IsIntegerConversion(c) || IsFloatConversion(c) || IsStringConversion(c) || c == 'p');
}

bool IsIntegral(const Argument& argument) {
  return argument.kind() == Argument::Kind::kSigned || argument.kind() == Argument::Kind::kUnsigned;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Reads the comma-separated names between the braces. Privacy wins over every other
// annotation; of the value annotations the first one written counts; names we do not know
// ("mask.hash", "uuid_t", "name=value" forms) are ignored.
void ParseAnnotations(std::string_view names, Conversion* conversion) {
  while (!names.empty()) {
    const size_t comma = names.find(',');
    const std::string_view name = Trimmed(names.substr(0, comma));
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    Annotation annotation = Annotation::kNone;
    if (name == "private" || name == "sensitive") {
      conversion->is_private = true;
    } else if (name == "bool") {
      annotation = Annotation::kBool;
    } else if (name == "BOOL") {
      annotation = Annotation::kUpperBool;
    } else if (name == "darwin.errno" || name == "errno") {
      annotation = Annotation::kErrno;
    } else if (name == "time_t") {
      annotation = Annotation::kTime;
    } else if (name == "darwin.signal") {
      annotation = Annotation::kSignal;
    }
    if (conversion->annotation == Annotation::kNone) conversion->annotation = annotation;
  }
}

// Reads decimal digits, saturating at kMaxFieldWidth.
int ParseCount(const char** cursor) {
  int count = 0;
  while (**cursor >= '0' && **cursor <= '9') {
    count = std::min(count * 10 + (**cursor - '0'), kMaxFieldWidth);
    ++*cursor;
  }
  return count;
}

// The next argument, or null when the caller gave too few.
class ArgumentCursor {
 public:
  ArgumentCursor(const Argument* begin, const Argument* end) : next_(begin), end_(end) {}
  const Argument* Next() { return next_ == end_ ? nullptr : next_++; }

 private:
  const Argument* next_;
  const Argument* end_;
};

std::string DecimalText(int64_t value) {
  char buffer[24];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// "[2: No such file or directory]": a number and what it means.
std::string NumberedText(int64_t value, std::string_view meaning) {
  std::string text = "[";
  text.append(DecimalText(value));
  text.append(": ");
  text.append(meaning);
  text.push_back(']');
  return text;
}

// "0x" and the value in lowercase hexadecimal, as "%p" shows an address ("0x0" for null).
std::string AddressText(uint64_t value) {
  char buffer[24] = {'0', 'x'};
  return std::string(buffer, std::to_chars(buffer + 2, buffer + sizeof buffer, value, 16).ptr);
}

void AppendPadded(std::string_view text, const Conversion& conversion, std::string* out) {
  const size_t width = static_cast<size_t>(conversion.width);
  const size_t padding = text.size() < width ? width - text.size() : 0;
  if (!conversion.left_align) out->append(padding, ' ');
  out->append(text);
  if (conversion.left_align) out->append(padding, ' ');
}

// Formats one number through snprintf with the conversion's flags, width and precision and
// the length modifier that fits the value actually passed.
template <typename T>
void AppendNumber(T value, const char* length, char conversion_char, const Conversion& conversion,
                  std::string* out) {
  char printf_format[32];
  char* cursor = printf_format;
  *cursor++ = '%';
  if (conversion.left_align) *cursor++ = '-';
  if (conversion.plus) *cursor++ = '+';
  if (conversion.space) *cursor++ = ' ';
  if (conversion.alternate) *cursor++ = '#';
  if (conversion.zero_pad) *cursor++ = '0';
  *cursor++ = '*';
  if (conversion.precision >= 0) {
    *cursor++ = '.';
    *cursor++ = '*';
  }
  for (const char* c = length; *c != '\0'; ++c) *cursor++ = *c;
  *cursor++ = conversion_char;
  *cursor = '\0';

  char buffer[kMaxFieldWidth * 2 + 64];
  const int precision = conversion.precision >= 0 ? conversion.precision : 0;
  const int length_written =
      conversion.precision >= 0
          ? std::snprintf(buffer, sizeof buffer, printf_format, conversion.width, precision, value)
          : std::snprintf(buffer, sizeof buffer, printf_format, conversion.width, value);
  if (length_written < 0) return;
  // Only "%f" of a huge value with a large precision can be longer than the buffer; such a
  // value is cut rather than given an allocation of its own.
  out->append(buffer, std::min(static_cast<size_t>(length_written), sizeof buffer - 1));
}

// A negative value shown as unsigned takes the width its length modifier names, as printf
// would ("%x" of -1 is "ffffffff"), unless it does not fit there; a value is never cut.
uint64_t UnsignedView(int64_t value, int bits) {
  if (value >= 0 || bits >= 64) return static_cast<uint64_t>(value);
  const int64_t smallest = -(int64_t{1} << (bits - 1));
  if (value < smallest) return static_cast<uint64_t>(value);
  return static_cast<uint64_t>(value) & ((uint64_t{1} << bits) - 1);
}

// The character of "%c" as UTF-8. A negative value in the range of a signed char is the
// byte that char held; values that are no character render the replacement character.
void AppendCharacter(int64_t value, const Conversion& conversion, std::string* out) {
  if (value < 0 && value >= -128) value += 256;
  std::string text;
  if (value == 0) {
    // A NUL byte has no place in a text log.
  } else if (value < 0x80) {
    text.push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    text.push_back(static_cast<char>(0xC0 | (value >> 6)));
    text.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000 && (value < 0xD800 || value > 0xDFFF)) {
    text.push_back(static_cast<char>(0xE0 | (value >> 12)));
    text.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value >= 0x10000 && value <= 0x10FFFF) {
    text.push_back(static_cast<char>(0xF0 | (value >> 18)));
    text.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    text = "\xEF\xBF\xBD";
  }
  AppendPadded(text, conversion, out);
}

void AppendInteger(const Argument& argument, const Conversion& conversion, std::string* out) {
  const char c = conversion.conversion;
  const bool is_signed = argument.kind() == Argument::Kind::kSigned;
  if (c == 'c') {
    const uint64_t value = argument.as_unsigned();
    AppendCharacter(is_signed ? argument.as_signed()
                              : static_cast<int64_t>(std::min<uint64_t>(value, INT64_MAX)),
                    conversion, out);
  } else if (c == 'd' || c == 'i') {
    if (is_signed || argument.as_unsigned() <= INT64_MAX) {
      AppendNumber(static_cast<long long>(argument.as_signed()), "ll", 'd', conversion, out);
    } else {
      AppendNumber(static_cast<unsigned long long>(argument.as_unsigned()), "ll", 'u', conversion,
                   out);
    }
  } else {
    const uint64_t value =
        is_signed ? UnsignedView(argument.as_signed(), conversion.bits) : argument.as_unsigned();
    AppendNumber(static_cast<unsigned long long>(value), "ll", c, conversion, out);
  }
}

void AppendString(std::string_view text, const Conversion& conversion, std::string* out) {
  if (conversion.precision >= 0 && text.size() > static_cast<size_t>(conversion.precision)) {
    text = text.substr(0, static_cast<size_t>(conversion.precision));
  }
  AppendPadded(text, conversion, out);
}

// The annotated forms. Each applies to integer values only; other kinds fall back to the
// plain conversion (returns false).
bool AppendAnnotated(const Argument& argument, const Conversion& conversion, std::string* out) {
  if (!IsIntegral(argument)) return false;
  const bool is_signed = argument.kind() == Argument::Kind::kSigned;
  const int64_t value = argument.as_signed();
  const bool fits_int =
      is_signed ? value >= INT32_MIN && value <= INT32_MAX : argument.as_unsigned() <= INT32_MAX;
  const bool fits_time = is_signed || argument.as_unsigned() <= INT64_MAX;
  switch (conversion.annotation) {
    case Annotation::kNone:
      return false;
    case Annotation::kBool:
      AppendPadded(argument.as_unsigned() != 0 ? "true" : "false", conversion, out);
      return true;
    case Annotation::kUpperBool:
      AppendPadded(argument.as_unsigned() != 0 ? "YES" : "NO", conversion, out);
      return true;
    case Annotation::kErrno: {
      if (!fits_int) return false;
      AppendPadded(NumberedText(value, std::generic_category().message(static_cast<int>(value))),
                   conversion, out);
      return true;
    }
    case Annotation::kSignal: {
      if (!fits_int) return false;
      // The text is copied at once: for numbers it does not know, the C library builds it
      // in a buffer of the calling thread that the next call overwrites.
      const char* description = ::strsignal(static_cast<int>(value));
      AppendPadded(NumberedText(value, description != nullptr ? description : "Unknown signal"),
                   conversion, out);
      return true;
    }
    case Annotation::kTime: {
      if (!fits_time) return false;
      const time_t seconds = static_cast<time_t>(value);
      struct tm parts;
      if (::gmtime_r(&seconds, &parts) == nullptr) return false;
      char text[64];
      const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S+0000", &parts);
      if (length == 0) return false;
      AppendPadded(std::string_view(text, length), conversion, out);
      return true;
    }
  }
  return false;
}

void AppendArgument(const Argument& argument, const Conversion& conversion, std::string* out) {
  if (conversion.is_private) {
    out->append(kPrivate);
    return;
  }
  if (AppendAnnotated(argument, conversion, out)) return;

  const char c = conversion.conversion;
  switch (argument.kind()) {
    case Argument::Kind::kString:
      // A string stays a string whatever conversion asked for it; only "%s" and "%@" cut it
      // to a precision.
      if (IsStringConversion(c)) {
        AppendString(argument.as_string(), conversion, out);
      } else {
        AppendPadded(argument.as_string(), conversion, out);
      }
      return;
    case Argument::Kind::kSigned:
    case Argument::Kind::kUnsigned:
      if (IsIntegerConversion(c)) {
        AppendInteger(argument, conversion, out);
      } else if (IsFloatConversion(c)) {
        AppendNumber(argument.as_double(), "", c, conversion, out);
      } else if (c == 'p') {
        AppendPadded(AddressText(argument.as_unsigned()), conversion, out);
      } else {
        AppendPadded(argument.as_string(), conversion, out);
      }
      return;
    case Argument::Kind::kDouble:
      if (IsFloatConversion(c)) {
        AppendNumber(argument.as_double(), "", c, conversion, out);
      } else {
        AppendPadded(argument.as_string(), conversion, out);
      }
      return;
    case Argument::Kind::kPointer:
      if (IsIntegerConversion(c) && c != 'c') {
        AppendNumber(static_cast<unsigned long long>(argument.as_unsigned()), "ll",
                     c == 'd' || c == 'i' ? 'u' : c, conversion, out);
      } else {
        AppendPadded(AddressText(argument.as_unsigned()), conversion, out);
      }
      return;
  }
}

}  // namespace

int64_t Argument::as_signed() const {
  switch (kind_) {
    case Kind::kSigned:
      return signed_;
    case Kind::kUnsigned:
      return static_cast<int64_t>(unsigned_);
    case Kind::kDouble:
      // Converting a double outside the range of the integer is undefined: clamp first.
      if (std::isnan(double_)) return 0;
      if (double_ <= -0x1p63) return std::numeric_limits<int64_t>::min();
      if (double_ >= 0x1p63) return std::numeric_limits<int64_t>::max();
      return static_cast<int64_t>(double_);
    case Kind::kPointer:
      return static_cast<int64_t>(reinterpret_cast<uintptr_t>(pointer_));
    case Kind::kString:
      return 0;
  }
  return 0;
}

uint64_t Argument::as_unsigned() const {
  switch (kind_) {
    case Kind::kSigned:
      return static_cast<uint64_t>(signed_);
    case Kind::kUnsigned:
      return unsigned_;
    case Kind::kDouble:
      if (std::isnan(double_) || double_ <= 0) return 0;
      if (double_ >= 0x1p64) return std::numeric_limits<uint64_t>::max();
      return static_cast<uint64_t>(double_);
    case Kind::kPointer:
      return reinterpret_cast<uintptr_t>(pointer_);
    case Kind::kString:
      return 0;
  }
  return 0;
}

double Argument::as_double() const {
  switch (kind_) {
    case Kind::kSigned:
      return static_cast<double>(signed_);
    case Kind::kUnsigned:
      return static_cast<double>(unsigned_);
    case Kind::kDouble:
      return double_;
    case Kind::kPointer:
    case Kind::kString:
      return 0;
  }
  return 0;
}

std::string_view Argument::as_string() const {
  if (kind_ == Kind::kString) return string_;
  char buffer[32];
  char* end = buffer;
  switch (kind_) {
    case Kind::kSigned:
      end = std::to_chars(buffer, buffer + sizeof buffer, signed_).ptr;
      break;
    case Kind::kUnsigned:
      end = std::to_chars(buffer, buffer + sizeof buffer, unsigned_).ptr;
      break;
    case Kind::kDouble:
      // The shortest text that reads back as the same value ("0.1", not "0.100000").
      end = std::to_chars(buffer, buffer + sizeof buffer, double_).ptr;
      break;
    case Kind::kPointer:
      rendered_ = AddressText(reinterpret_cast<uintptr_t>(pointer_));
      return rendered_;
    case Kind::kString:
      break;
  }
  rendered_.assign(buffer, end);
  return rendered_;
}

std::string Render(const char* format, std::initializer_list<Argument> arguments) {
  std::string out;
  if (format == nullptr) return out;
  ArgumentCursor cursor(arguments.begin(), arguments.end());
  const char* text = format;
  while (*text != '\0') {
    const char* percent = std::strchr(text, '%');
    if (percent == nullptr) {
      out.append(text);
      break;
    }
    out.append(text, percent);

    Conversion conversion;
    const char* p = percent + 1;
    if (*p == '{') {
      const char* close = std::strchr(p, '}');
      if (close == nullptr) {
        // An unterminated annotation: the rest of the format is text.
        out.append(percent);
        break;
      }
      ParseAnnotations(std::string_view(p + 1, static_cast<size_t>(close - p - 1)), &conversion);
      p = close + 1;
    }
    for (;; ++p) {
      if (*p == '-') {
        conversion.left_align = true;
      } else if (*p == '+') {
        conversion.plus = true;
      } else if (*p == ' ') {
        conversion.space = true;
      } else if (*p == '#') {
        conversion.alternate = true;
      } else if (*p == '0') {
        conversion.zero_pad = true;
      } else if (*p != '\'') {  // grouping depends on the locale: accepted, not applied
        break;
      }
    }
    // A width or precision of "*" takes an argument of its own; without one the
    // conversion renders as missing.
    bool star_missing = false;
    if (*p == '*') {
      ++p;
      const Argument* width = cursor.Next();
      if (width == nullptr) {
        star_missing = true;
      } else {
        const int64_t value =
            std::clamp<int64_t>(width->as_signed(), -kMaxFieldWidth, kMaxFieldWidth);
        if (value < 0) conversion.left_align = true;
        conversion.width = static_cast<int>(value < 0 ? -value : value);
      }
    } else {
      conversion.width = ParseCount(&p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        ++p;
        const Argument* precision = cursor.Next();
        if (precision == nullptr) {
          star_missing = true;
        } else {
          const int64_t value = precision->as_signed();
          // A negative precision counts as none, as in printf.
          conversion.precision =
              value < 0 ? -1 : static_cast<int>(std::min<int64_t>(value, kMaxFieldWidth));
        }
      } else {
        conversion.precision = ParseCount(&p);
      }
    }
    for (; *p != '\0' && std::strchr("hlLqzjt", *p) != nullptr; ++p) {
      if (*p == 'h') {
        conversion.bits = conversion.bits == 16 ? 8 : 16;
      } else {
        conversion.bits = 64;
      }
    }
    conversion.conversion = *p;

    if (*p == '%') {
      out.push_back('%');
      text = p + 1;
      continue;
    }
    if (!IsConversion(*p)) {
      // Not a conversion we know ("%k", "%n", a lone "%" at the end): the text as written,
      // taking no argument.
      if (*p == '\0') {
        out.append(percent);
        break;
      }
      out.append(percent, p + 1);
      text = p + 1;
      continue;
    }
    text = p + 1;
    const Argument* argument = star_missing ? nullptr : cursor.Next();
    if (argument == nullptr) {
      out.append(kMissing);
      continue;
    }
    AppendArgument(*argument, conversion, &out);
  }
  return out;
}

}  // namespace mcom::log
