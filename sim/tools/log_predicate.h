#pragma once

// The filters of `log show --predicate`: a small part of the predicate language the Mac's
// log tool takes (NSPredicate's format syntax), evaluated against the records of the
// machine's system log.
//
//   eventMessage contains[cd] "halvex" or processImagePath contains[cd] "halvex"
//   process == "com.halvex-software.Dorvane.helper"
//
// Grammar (keywords in any case; field names exactly as written):
//
//   predicate  := and ( ("or" | "||") and )*
//   and        := unary ( ("and" | "&&") unary )*
//   unary      := ("not" | "!") unary | "(" predicate ")" | "truepredicate"
//               | "falsepredicate" | comparison
//   comparison := field operator [ "[" options "]" ] string
//   field      := eventMessage | processImagePath | process | subsystem | category
//   operator   := "==" | "=" | "!=" | "<>" | "contains" | "beginswith" | "endswith"
//   options    := "c" (case-insensitive) and/or "d" (diacritic-insensitive)
//   string     := '"' ... '"' or "'" ... "'", with the escapes \" \' \\ \n \t \r
//
// Fields: eventMessage is the message (all its lines), processImagePath the executable's
// path, process the executable's name; the system log records no subsystem or category,
// so those read as empty. Case-insensitive comparison folds Latin, Greek and Cyrillic
// letters; diacritic-insensitive comparison drops combining marks and reads the accented
// Latin letters (U+00C0 to U+017F) as their base letters. Text that is not valid UTF-8 is
// compared byte for byte.
//
// Predicates come from the command line: anything malformed is refused with a reason, and
// the size of what is accepted is bounded (kMaxLength, kMaxNesting), so no input can make
// parsing or evaluation run away.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sim/tools/log_entry.h"

namespace sim::tools {

struct PredicateError {
  std::string message;  // "unknown field "eventmessage" (at character 1)"
  // The text was refused for its size (longer than kMaxLength, or nested deeper than
  // kMaxNesting), not for its syntax.
  bool too_large = false;
};

class LogPredicate {
 public:
  static constexpr size_t kMaxLength = 64 * 1024;
  // Parentheses and negations inside each other.
  static constexpr int kMaxNesting = 100;

  // The predicate `text` describes; nothing, with the reason in `error`, when it is
  // malformed.
  static std::optional<LogPredicate> Parse(std::string_view text, PredicateError* error);

  LogPredicate(LogPredicate&&) noexcept;
  LogPredicate& operator=(LogPredicate&&) noexcept;
  ~LogPredicate();

  bool Matches(const LogEntry& entry) const;

  // The predicate in the canonical form the log tool reports it in (operators and keywords
  // in upper case, strings in double quotes):
  //   eventMessage CONTAINS[cd] "halvex" OR processImagePath CONTAINS[cd] "halvex"
  // Parsing it again gives the same predicate.
  std::string Format() const;

  struct Node;

 private:
  explicit LogPredicate(std::unique_ptr<Node> root);

  std::unique_ptr<Node> root_;
};

}  // namespace sim::tools
